#include "shell/screenshot_hook.h"

#include <QApplication>
#include <QFont>
#include <QPixmap>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>

#include "shell/about_box.h"
#include "shell/find_bar.h"

namespace tapline::shell {

void ApplyScreenshotFont() {
  bool ok = false;
  const double points = qEnvironmentVariable("TAPLINE_SCREENSHOT_POINTS").toDouble(&ok);
  if (!ok || points <= 0) return;
  QFont font = QApplication::font();
  font.setPointSizeF(points);
  QApplication::setFont(font);
}

void ArmScreenshotHook(QWidget& window) {
  const QString path = qEnvironmentVariable("TAPLINE_SCREENSHOT");
  if (path.isEmpty()) return;
  bool ok = false;
  int delay = qEnvironmentVariableIntValue("TAPLINE_SCREENSHOT_DELAY", &ok);
  if (!ok || delay < 0) delay = 2000;
  // A bare X server has no window manager to activate the new window, and the log view only follows
  // its caret once the window has been active.
  window.activateWindow();
  if (!qEnvironmentVariableIsEmpty("TAPLINE_SCREENSHOT_FIND")) {
    if (auto* bar = window.findChild<FindBar*>(QStringLiteral("FindBar"))) bar->Open();
  }
  // With TAPLINE_SCREENSHOT_CONNECTIONS, the picture shows the Connections tab with its second row selected.
  const bool connections = !qEnvironmentVariableIsEmpty("TAPLINE_SCREENSHOT_CONNECTIONS");
  if (connections) {
    QTimer::singleShot(std::max(0, delay - 600), &window, [&window] {
      if (auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("LogTabs"))) tabs->setCurrentIndex(1);
    });
    QTimer::singleShot(std::max(0, delay - 300), &window, [&window] {
      if (auto* list = window.findChild<QTableView*>(QStringLiteral("ConnectionList"))) {
        list->selectRow(std::min(1, list->model()->rowCount() - 1));
      }
    });
  }
  QTimer::singleShot(delay, &window, [&window, path] {
    if (!window.grab().save(path, "PNG")) std::fprintf(stderr, "tapline: could not save %s\n", qPrintable(path));
    const QString aboutPath = qEnvironmentVariable("TAPLINE_SCREENSHOT_ABOUT");
    if (aboutPath.isEmpty()) {
      QApplication::exit(0);
      return;
    }
    // The About box too, shown without a loop of its own so that the picture can be taken.
    auto* box = new TAboutBox(&window);
    box->setModal(false);
    box->show();
    QTimer::singleShot(500, box, [box, aboutPath] {
      if (!box->grab().save(aboutPath, "PNG")) {
        std::fprintf(stderr, "tapline: could not save %s\n", qPrintable(aboutPath));
      }
      QApplication::exit(0);
    });
  });
}

}  // namespace tapline::shell

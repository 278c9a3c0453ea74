#include "shell/program.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <cstdio>

#include "platform/heap.h"
#include "engine/command_line.h"
#include "shell/main_window.h"
#include "shell/system_close.h"

// The resources are compiled into a library; this registers them (outside any namespace, as rcc names
// its initialiser globally).
static void InitResources() { Q_INIT_RESOURCE(tapline); }

namespace tapline::shell {

void SetUpApplication() {
  platform::Heap::TuneForRelay();
  InitResources();
  QApplication::setApplicationName(QStringLiteral("Tapline"));
  QApplication::setOrganizationName(QStringLiteral("Fenwold"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tapline.svg")));
  // The desktop entry the window belongs to (startup notification, the task bar's icon and name).
  QGuiApplication::setDesktopFileName(QStringLiteral("tapline"));
}

std::unique_ptr<TForm1> OpenMainWindow(const std::vector<std::string>& args) {
  CommandLine line;
  try {
    line = ParseCommandLine(args, "TAPLINE");
  } catch (const UsageError& e) {
    // Said on standard error too, for whoever started the program from a terminal or a script.
    std::fprintf(stderr, "%s\n", WithFullStop(e.what()).c_str());
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), QString::fromStdString(WithFullStop(e.what())),
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);  // the argument is shown as given, never as markup
    box.exec();
    return nullptr;
  }
  auto form = std::make_unique<TForm1>(line);
  if (int error = form->StartSockets(); error != 0) {
    form->StartUpFailed(error);
    return nullptr;
  }
  // SIGTERM, SIGINT, SIGHUP and the session manager close the window as the close box does, without
  // the question; the watcher lives as long as the window.
  TForm1* window = form.get();
  new SystemCloseWatcher([window] { window->SystemClose(); }, window);
  form->ShowAtSavedPlace();
  return form;
}

}  // namespace tapline::shell

#include "shell/screenshot_hook.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <cstdio>

namespace tapline::shell {

void ArmScreenshotHook(QWidget& window) {
  const QString path = qEnvironmentVariable("TAPLINE_SCREENSHOT");
  if (path.isEmpty()) return;
  bool ok = false;
  int delay = qEnvironmentVariableIntValue("TAPLINE_SCREENSHOT_DELAY", &ok);
  if (!ok || delay < 0) delay = 2000;
  // A bare X server has no window manager to activate the new window, and the log view only follows
  // its caret once the window has been active.
  window.activateWindow();
  QTimer::singleShot(delay, &window, [&window, path] {
    if (!window.grab().save(path, "PNG")) std::fprintf(stderr, "tapline: could not save %s\n", qPrintable(path));
    QApplication::exit(0);
  });
}

}  // namespace tapline::shell

// tapline: the desktop window. Relays TCP connections from a local port to a remote host and port and
// shows every event and every received block in a coloured log view; see the help page for its use.
#include <QApplication>
#include <csignal>
#include <string>
#include <vector>

#include "shell/main_window.h"
#include "shell/program.h"
#include "shell/screenshot_hook.h"

int main(int argc, char** argv) {
  // A client or server that goes away while data is sent to it must not end the program.
  std::signal(SIGPIPE, SIG_IGN);
  // A log or capture file that reaches the size limit fails its write instead of ending the program.
  std::signal(SIGXFSZ, SIG_IGN);
  QApplication app(argc, argv);
  tapline::shell::SetUpApplication();
  std::vector<std::string> args(argv + 1, argv + argc);
  std::unique_ptr<tapline::shell::TForm1> form = tapline::shell::OpenMainWindow(args);
  if (!form) return 0;
  tapline::shell::ArmScreenshotHook(*form);
  return QApplication::exec();
}

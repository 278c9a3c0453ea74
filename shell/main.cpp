// tapline: the desktop window. Relays TCP connections from a local port to a remote host and port and
// shows every event and every received block in a coloured log view; see the help page for its use.
#include <QApplication>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/help_text.h"
#include "shell/main_window.h"
#include "shell/program.h"
#include "shell/screenshot_hook.h"

int main(int argc, char** argv) {
  // Every argument the user typed belongs to the program's own grammar, so they are kept here and Qt
  // gets none of them: QApplication would take -reverse, -style, -platform, -geometry and the like for
  // itself. Qt's platform stays selectable through its environment (QT_QPA_PLATFORM and friends).
  std::vector<std::string> args(argv + 1, argv + argc);
  switch (tapline::engine::FindInfoRequest(args)) {
    case tapline::engine::InfoRequest::Help:
      std::fputs(tapline::engine::HelpText(true).c_str(), stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case tapline::engine::InfoRequest::Version:
      std::fputs(tapline::engine::VersionText(true, TAPLINE_VERSION).c_str(), stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case tapline::engine::InfoRequest::None:
      break;
  }
  // A client or server that goes away while data is sent to it must not end the program.
  std::signal(SIGPIPE, SIG_IGN);
  // A log or capture file that reaches the size limit fails its write instead of ending the program.
  std::signal(SIGXFSZ, SIG_IGN);
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  tapline::shell::SetUpApplication();
  tapline::shell::ApplyScreenshotFont();
  std::unique_ptr<tapline::shell::TForm1> form = tapline::shell::OpenMainWindow(args);
  if (!form) return 0;
  tapline::shell::ArmScreenshotHook(*form);
  return QApplication::exec();
}

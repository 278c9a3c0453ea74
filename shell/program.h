// The program entry's work apart from the message loop: the command line (or its usage box), the main
// window, its sockets start-up (or the error dialog) and showing it. Shared by main() and the tests.
// Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tapline::shell {

class TForm1;

// Sets the application's title and icon; once, after the application object exists.
void SetUpApplication();

// `args` are the arguments after the program's name. Answers the shown main window, or nullptr when the
// program is to end at once: after the usage box (no settings written) or after a failed start-up of
// the sockets (settings written, the window never shown).
std::unique_ptr<TForm1> OpenMainWindow(const std::vector<std::string>& args);

}  // namespace tapline::shell

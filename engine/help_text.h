// What both programs say to --help, -h and --version, and how those are told from the relay's own
// arguments. Plain C++; shared by the window and tapline-cli. The front ends look for these before the
// command-line grammar (command_line.h) sees the arguments.
#pragma once

#include <string>
#include <vector>

namespace tapline::engine {

enum class InfoRequest { None, Help, Version };

// --help or -h (Help) or --version (Version) where the grammar has a positional text or an option, not
// where it takes an option's value ("-file -h" names a log file "-h"). The first such request counts.
InfoRequest FindInfoRequest(const std::vector<std::string>& args);

// The whole help: the usage line, every option, the exit codes and the files. `window` selects the
// window's text (tapline) or the terminal front end's (tapline-cli).
std::string HelpText(bool window);

// "tapline 2.83" or "tapline-cli 2.83", with a line of copyright.
std::string VersionText(bool window, const std::string& version);

}  // namespace tapline::engine

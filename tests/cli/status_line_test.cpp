// The terminal front end's status line: it fits the terminal's width (never reaching the last column,
// where the terminal would wrap it) and says "1 connection", not "1 connections".
#include <gtest/gtest.h>

#include "cli/terminal_window.h"

namespace tapline::test {
namespace {

TEST(CliStatusLine, FitsTheWidthAndCountsInTheSingular) {
  const std::int64_t one[5] = {1, 1234, 0, 5678901, 42};
  EXPECT_EQ(cli::TerminalWindow::StatusLine(one, 200),
            "1 connection | client to server 1,234 sent, 0 buffered | server to client 5,678,901 sent, 42 buffered");
  const std::int64_t two[5] = {2, 0, 0, 0, 0};
  EXPECT_EQ(cli::TerminalWindow::StatusLine(two, 200).rfind("2 connections |", 0), 0u);
  for (int width : {1, 2, 10, 40, 60, 79, 80, 100, 132}) {
    std::string line = cli::TerminalWindow::StatusLine(one, width);
    EXPECT_LT(line.size(), static_cast<std::size_t>(width)) << width;
    if (width >= 40) {
      EXPECT_NE(line.find("5,678,901"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(cli::TerminalWindow::StatusLine(one, 80),
            "1 connection | to server 1,234, 0 buffered | to client 5,678,901, 42 buffered");
}

}  // namespace
}  // namespace tapline::test

// The terminal front end's log view: what reaches standard output, and when.
#include "cli/terminal_window.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace tapline::cli {
namespace {

// Everything written to the file so far, whatever its position.
std::string Contents(std::FILE* f) {
  std::string text;
  char chunk[65536];
  off_t at = 0;
  for (ssize_t n; (n = pread(fileno(f), chunk, sizeof chunk, at)) > 0; at += n) text.append(chunk, static_cast<std::size_t>(n));
  return text;
}

class TerminalWindowTest : public ::testing::Test {
 protected:
  void TearDown() override { std::fclose(out_); }
  std::FILE* out_ = std::tmpfile();
};

TEST_F(TerminalWindowTest, TheLinesOfOneStepComeOutTogetherInOrderOnceTheStepIsDone) {
  TerminalWindow window(out_, nullptr);
  window.InsertAtEnd("12: Client connected\r\n", 22, log::MessageLine);
  window.InsertAtEnd("12: Server disconnected\r\n", 25, log::InformLine);
  EXPECT_EQ(Contents(out_), "") << "held back until the display step ends";
  window.BatchesDone();
  EXPECT_EQ(Contents(out_), "12: Client connected\n12: Server disconnected\n");
}

TEST_F(TerminalWindowTest, LinesStillHeldBackAreWrittenWhenTheWindowGoes) {
  {
    TerminalWindow window(out_, nullptr);
    window.InsertAtEnd("last line\r\n", 11, log::MessageLine);
  }
  EXPECT_EQ(Contents(out_), "last line\n");
}

TEST_F(TerminalWindowTest, AnInsertionLargerThanTheStagingBehindHeldBackTextComesOutWhole) {
  TerminalWindow window(out_, nullptr);
  window.InsertAtEnd("first\r\n", 7, log::MessageLine);
  std::string big;
  std::string expected = "first\n";
  for (int i = 0; big.size() < 600 * 1024; ++i) {
    std::string line = std::to_string(i) + " 0000  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP";
    big += line + "\r\n";
    expected += line + "\n";
  }
  window.InsertAtEnd(big.data(), big.size(), log::DataLine);
  window.BatchesDone();
  EXPECT_EQ(Contents(out_), expected);
}

}  // namespace
}  // namespace tapline::cli

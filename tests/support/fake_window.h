// A stand-in for the window in engine tests: keeps every line that reaches the log view with its colour,
// the counters as shown, and the running state.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/relay_window.h"

namespace tapline::test {

struct ViewLine {
  log::Colour colour;
  std::string text;  // without the time stamp, socket prefix kept ("12: Connected to Server")
  bool operator==(const ViewLine&) const = default;
};

class FakeWindow : public engine::RelayWindow {
 public:
  std::string fields[8];  // by Field
  std::int64_t counts[5] = {};
  int countUpdates = 0;
  std::vector<std::int64_t> connectionHistory;  // every value LabelConns showed
  bool running = false;
  int clears = 0;
  std::string localAddress;
  std::int32_t bufferSize = -1;
  bool lossless = false;  // a view that must get every line (standard output to a file)
  std::vector<ViewLine> lines;
  std::vector<std::pair<log::Colour, std::string>> batches;  // each insertion as it came
  std::string text;                                          // the whole view text

  void Set(engine::Field f, const std::string& value) { fields[static_cast<int>(f)] = value; }
  std::int64_t Count(engine::Counter c) const { return counts[static_cast<int>(c)]; }

  std::string FieldText(engine::Field field) const { return fields[static_cast<int>(field)]; }
  void ShowCount(engine::Counter counter, std::int64_t value) override {
    counts[static_cast<int>(counter)] = value;
    ++countUpdates;
    if (counter == engine::Counter::Connections) connectionHistory.push_back(value);
  }
  void SetRunningState(bool r) override { running = r; }
  void ClearLogView() override {
    ++clears;
    text.clear();
  }
  void ShowLocalAddress(const std::string& address) override { localAddress = address; }

  std::int32_t BufferSize() const override { return bufferSize; }
  std::int64_t TextLength() const override { return static_cast<std::int64_t>(text.size()); }
  void DeleteFirstLine() override {
    auto at = text.find("\r\n");
    text.erase(0, at == std::string::npos ? text.size() : at + 2);
  }
  void InsertAtEnd(const char* t, std::size_t length, log::Colour colour) override;
  void ScrollToEnd() override {}
  bool Lossless() const override { return lossless; }

  // The texts of the lines of one colour, or of all lines (colour -1).
  std::vector<std::string> Texts(std::int64_t colour = -1) const;
  bool Has(const std::string& line) const;
  // The lines about one connection, without the "socket: " prefix, with their colours.
  std::vector<ViewLine> About(std::uint32_t socket) const;
};

// A coloured line as logged, without its time stamp ("date time.mmm; ").
std::string WithoutTimeStamp(const std::string& line);

}  // namespace tapline::test

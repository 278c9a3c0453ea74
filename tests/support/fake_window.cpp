#include "tests/support/fake_window.h"

namespace tapline::test {

std::string WithoutTimeStamp(const std::string& line) {
  auto at = line.find("; ");
  return at == std::string::npos ? line : line.substr(at + 2);
}

void FakeWindow::InsertAtEnd(const char* t, std::size_t length, log::Colour colour) {
  std::string batch(t, length);
  batches.emplace_back(colour, batch);
  text += batch;
  std::size_t start = 0;
  while (start < batch.size()) {
    auto end = batch.find("\r\n", start);
    if (end == std::string::npos) end = batch.size();
    std::string line = batch.substr(start, end - start);
    if (!log::IsDataColour(colour)) line = WithoutTimeStamp(line);
    lines.push_back({colour, line});
    start = end + 2;
  }
}

std::vector<std::string> FakeWindow::Texts(std::int64_t colour) const {
  std::vector<std::string> out;
  for (const ViewLine& l : lines) {
    if (colour < 0 || l.colour == static_cast<log::Colour>(colour)) out.push_back(l.text);
  }
  return out;
}

std::vector<ViewLine> FakeWindow::About(std::uint32_t socket) const {
  std::string prefix = std::to_string(socket) + ": ";
  std::vector<ViewLine> out;
  for (const ViewLine& l : lines) {
    if (!log::IsDataColour(l.colour) && l.text.compare(0, prefix.size(), prefix) == 0) {
      out.push_back({l.colour, l.text.substr(prefix.size())});
    }
  }
  return out;
}

bool FakeWindow::Has(const std::string& line) const {
  for (const ViewLine& l : lines) {
    if (l.text == line) return true;
  }
  return false;
}

}  // namespace tapline::test

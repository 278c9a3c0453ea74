#include "log/format_count.h"

#include <charconv>

namespace tapline::log {

std::string FormatCount(std::int64_t value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;  // 24 characters always hold an int64
  const char* first = digits;
  std::string result;
  if (*first == '-') {
    result.push_back('-');  // the sign never starts a group, so no comma follows it
    ++first;
  }
  auto count = static_cast<std::size_t>(end - first);
  result.reserve(result.size() + count + count / 3);
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && (count - i) % 3 == 0) result.push_back(',');
    result.push_back(first[i]);
  }
  return result;
}

}  // namespace tapline::log

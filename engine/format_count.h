// Counters as the status labels show them: decimal with "," between groups of three digits,
// whatever the user's locale.
#pragma once

#include <cstdint>
#include <string>

namespace tapline::engine {

std::string FormatCount(std::int64_t value);

}  // namespace tapline::engine

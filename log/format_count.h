// Counters as the status labels of both front ends show them: decimal with "," between groups of three
// digits, whatever the user's locale. A pure function; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace tapline::log {

std::string FormatCount(std::int64_t value);

}  // namespace tapline::log

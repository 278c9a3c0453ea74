// LF line ends for a terminal: the log's lines end in CR LF, a terminal wants LF alone.
// A pure function; any thread.
#pragma once

#include <cstddef>

namespace tapline::cli {

// Copies the text from `p` to `end` into `out`, each CR LF as LF alone (any other CR stays), until the text
// ends or `room` (at least 16) has fewer than 16 places left; answers where it stopped, with the
// characters put into `out` in `written`. For a terminal, which wants LF line ends.
const char* CopyWithLfLineEnds(const char* p, const char* end, char* out, std::size_t room, std::size_t& written);

}  // namespace tapline::cli

#include "cli/lf_line_ends.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tapline::cli {

const char* CopyWithLfLineEnds(const char* p, const char* end, char* out, std::size_t room, std::size_t& written) {
  std::size_t n = 0;
  while (p < end && room - n >= 16) {
#if defined(__SSE2__)
    // Sixteen characters at a time are copied whole; where a CR is among them, the copy counts only up
    // to it (what follows it is copied again).
    if (end - p >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), v);
      int crs = _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
      if (crs == 0) {
        p += 16;
        n += 16;
        continue;
      }
      int before = __builtin_ctz(static_cast<unsigned>(crs));
      p += before;
      n += static_cast<std::size_t>(before);
    }
#endif
    char c = *p++;
    if (c == '\r' && p < end && *p == '\n') continue;  // the LF alone stays
    out[n++] = c;
  }
  written = n;
  return p;
}

}  // namespace tapline::cli

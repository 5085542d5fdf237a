// Finding the next byte of a JSON string's content that cannot be copied as it is: the
// quotation mark, the backslash and the control bytes below 0x20. Shared by the reader
// (which stops there to unescape or to refuse) and the writer (which escapes there). Long
// hashes and signatures are thousands of plain bytes, so the scan takes sixteen bytes a step
// where SSE2 is there (every x86-64) and eight otherwise.
#ifndef QIV_PRIMITIVES_SRC_JSON_STRING_SCAN_H_
#define QIV_PRIMITIVES_SRC_JSON_STRING_SCAN_H_

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qiv {
namespace json_internal {

constexpr bool IsStringSpecial(std::uint8_t c) { return c == '"' || c == '\\' || c < 0x20; }

// True when any of the eight bytes of `w` is a quotation mark, a backslash or below 0x20.
inline bool WordHasStringSpecial(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const std::uint64_t quote = w ^ (kOnes * '"');
  const std::uint64_t backslash = w ^ (kOnes * '\\');
  const std::uint64_t t = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                          ((w - kOnes * 0x20) & ~w);
  return (t & kHighs) != 0;
}

// Returns the first special byte in [p, end), or end.
inline const std::uint8_t* ScanStringRun(const std::uint8_t* p, const std::uint8_t* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // A byte is at most 0x1F exactly when the unsigned minimum with 0x1F is itself.
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                     _mm_cmpeq_epi8(_mm_min_epu8(bytes, control_max), bytes));
    const int mask = _mm_movemask_epi8(special);
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if (WordHasStringSpecial(w)) break;
    p += 8;
  }
  while (p < end && !IsStringSpecial(*p)) ++p;
  return p;
}

}  // namespace json_internal
}  // namespace qiv

#endif  // QIV_PRIMITIVES_SRC_JSON_STRING_SCAN_H_

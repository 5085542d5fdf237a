#include "qiv/primitives/unicode.h"

#include <algorithm>
#include <cstdint>

#include "unicode_tables.h"

namespace qiv {
namespace {

using unicode_internal::CodePointRange;

bool InRanges(const CodePointRange* ranges, std::size_t count, char32_t c) {
  const CodePointRange* end = ranges + count;
  // First range whose last code point is >= c; c is inside it or in the gap before it.
  const CodePointRange* it = std::lower_bound(
      ranges, end, c, [](const CodePointRange& r, char32_t v) { return r.last < v; });
  return it != end && it->first <= c;
}

bool IsContinuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::size_t DecodeUtf8Char(std::string_view text, std::size_t pos, char32_t& out) {
  if (pos >= text.size()) return 0;
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data()) + pos;
  const std::size_t avail = text.size() - pos;
  const std::uint8_t b0 = p[0];
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  std::size_t len;
  std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (avail < len || p[1] < lo || p[1] > hi) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    if (!IsContinuation(p[i])) return 0;
  }
  char32_t c = b0 & (0x7F >> len);
  for (std::size_t i = 1; i < len; ++i) c = (c << 6) | (p[i] & 0x3F);
  out = c;
  return len;
}

bool IsUnicodeWhiteSpace(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  return InRanges(unicode_internal::kWhiteSpaceRanges, unicode_internal::kWhiteSpaceCount, c);
}

bool IsGraphemeExtend(char32_t c) {
  if (c < 0x300) return false;  // the first Grapheme_Extend character is U+0300
  return InRanges(unicode_internal::kGraphemeExtendRanges,
                  unicode_internal::kGraphemeExtendCount, c);
}

bool IsNotPrintable(char32_t c) {
  if (c < 0x80) return c < 0x20 || c == 0x7F;
  if (c > 0x10FFFF) return true;
  return InRanges(unicode_internal::kNotPrintableRanges, unicode_internal::kNotPrintableCount,
                  c);
}

}  // namespace qiv

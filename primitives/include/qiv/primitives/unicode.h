// Unicode 17.0 character properties and UTF-8 decoding, for the quoting rule and for readers
// that skip Unicode white space.
//
//   char32_t c;
//   std::size_t n = qiv::DecodeUtf8Char(text, pos, c);   // 0: not valid UTF-8 at pos
//   if (n != 0 && qiv::IsUnicodeWhiteSpace(c)) pos += n;
//
// Pure functions over constant tables; thread-safe.
#ifndef QIV_PRIMITIVES_UNICODE_H_
#define QIV_PRIMITIVES_UNICODE_H_

#include <cstddef>
#include <string_view>

namespace qiv {

// Decodes the UTF-8 character that starts at byte `pos` of `text` into `out` and returns its
// length in bytes (1 to 4). Returns 0, leaving `out` unchanged, when `pos` is at the end or the
// bytes there are not a complete, shortest-form encoding of a scalar value (no surrogates, no
// code point above U+10FFFF).
std::size_t DecodeUtf8Char(std::string_view text, std::size_t pos, char32_t& out);

// The White_Space property: U+0009 to U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000 to
// U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
bool IsUnicodeWhiteSpace(char32_t c);

// The Grapheme_Extend property.
bool IsGraphemeExtend(char32_t c);

// True for the general categories Cc, Cf, Cs, Co, Cn (unassigned), Zl, Zp and Zs, except the
// space U+0020; values above U+10FFFF count as unassigned.
bool IsNotPrintable(char32_t c);

}  // namespace qiv

#endif  // QIV_PRIMITIVES_UNICODE_H_

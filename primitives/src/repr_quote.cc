#include "qiv/primitives/repr_quote.h"

#include <cstdint>

#include "qiv/primitives/unicode.h"

namespace qiv {
namespace {

constexpr char kLowerHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

void AppendCodePointEscape(std::string& out, char32_t c) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kLowerHex[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (n > 0) out.push_back(digits[--n]);
  out.push_back('}');
}

// Writes the ASCII byte `c`: a short escape, \u{..} for the other controls, or itself.
void AppendAscii(std::string& out, unsigned char c) {
  switch (c) {
    case 0: out += "\\0"; return;
    case '\t': out += "\\t"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\\': out += "\\\\"; return;
    case '"': out += "\\\""; return;
    default: break;
  }
  if (c < 0x20 || c == 0x7F) {
    AppendCodePointEscape(out, c);
  } else {
    out.push_back(static_cast<char>(c));
  }
}

void AppendQuotedBody(std::string& out, std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      AppendAscii(out, b);
      ++i;
      continue;
    }
    char32_t c;
    const std::size_t len = DecodeUtf8Char(bytes, i, c);
    if (len == 0) {
      // No valid character starts here. A valid one never starts with a continuation byte,
      // so moving on by one byte escapes exactly the bytes outside valid characters.
      out += "\\x";
      out.push_back(kUpperHex[b >> 4]);
      out.push_back(kUpperHex[b & 0xF]);
      ++i;
      continue;
    }
    if (IsGraphemeExtend(c) || IsNotPrintable(c)) {
      AppendCodePointEscape(out, c);
    } else {
      out.append(bytes.data() + i, len);
    }
    i += len;
  }
}

}  // namespace

void AppendReprQuoted(std::string& out, std::string_view utf8_text) {
  out.reserve(out.size() + utf8_text.size() + 2);
  out.push_back('"');
  AppendQuotedBody(out, utf8_text);
  out.push_back('"');
}

std::string ReprQuoted(std::string_view utf8_text) {
  std::string out;
  AppendReprQuoted(out, utf8_text);
  return out;
}

void AppendReprQuotedPath(std::string& out, std::string_view path_bytes) {
  AppendReprQuoted(out, path_bytes);
}

}  // namespace qiv

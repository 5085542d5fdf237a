// Fuzzes the representation quoting rule, for texts and for file-system paths.
//
// The first input byte picks the variant (text or path) and the rest is the text. Properties:
//   - the output is appended after what the string already held, which stays untouched;
//   - the appended part is valid UTF-8, opens and closes with a double quote and holds no
//     raw double quote, control character (C0, DEL, C1), or other non-printable character
//     (categories Cc Cf Cs Co Cn Zl Zp Zs but the space) or Grapheme_Extend character;
//   - every backslash starts one of the escapes \0 \t \n \r \\ \" \u{hex} \xHH, and undoing
//     them gives back the input bytes exactly, so no two inputs quote alike;
//   - \xHH appears only for bytes that are not part of a valid UTF-8 character.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "qiv/primitives/repr_quote.h"
#include "qiv/primitives/unicode.h"

namespace {

using qiv::fuzz::Escaped;

// An independent strict UTF-8 decoder: the length of the valid character at `pos`, or 0.
std::size_t Utf8Length(std::string_view s, std::size_t pos, char32_t& out) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  std::size_t len;
  char32_t min;
  if (b0 < 0x80) {
    out = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, min = 0x80, out = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, min = 0x800, out = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, min = 0x10000, out = b0 & 0x07;
  } else {
    return 0;
  }
  if (s.size() - pos < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xC0) != 0x80) return 0;
    out = (out << 6) | (b & 0x3F);
  }
  if (out < min || out > 0x10FFFF || (out >= 0xD800 && out <= 0xDFFF)) return 0;
  return len;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::optional<int> HexValue(char c, bool upper_only, bool lower_only) {
  if (c >= '0' && c <= '9') return c - '0';
  if (!lower_only && c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (!upper_only && c >= 'a' && c <= 'f') return c - 'a' + 10;
  return std::nullopt;
}

// Undoes the quoting of `body` (the text between the quotes). Returns the original bytes, or
// nullopt with `problem` set when the body breaks the rule.
// `byte_escapes` counts the \xHH escapes.
std::optional<std::string> Unquote(std::string_view body, std::string& problem,
                                   std::size_t& byte_escapes) {
  std::string out;
  std::size_t i = 0;
  while (i < body.size()) {
    char32_t c;
    const std::size_t len = Utf8Length(body, i, c);
    if (len == 0) {
      problem = "invalid UTF-8 at output byte " + std::to_string(i);
      return std::nullopt;
    }
    if (c == '"') {
      problem = "raw double quote at output byte " + std::to_string(i);
      return std::nullopt;
    }
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      problem = "raw control character at output byte " + std::to_string(i);
      return std::nullopt;
    }
    if ((qiv::IsNotPrintable(c) && c != ' ') || qiv::IsGraphemeExtend(c)) {
      problem = "raw non-printable or combining character at output byte " + std::to_string(i);
      return std::nullopt;
    }
    if (c != '\\') {
      out.append(body.substr(i, len));
      i += len;
      continue;
    }
    if (i + 1 >= body.size()) {
      problem = "lone backslash at the end";
      return std::nullopt;
    }
    const char e = body[i + 1];
    i += 2;
    switch (e) {
      case '0': out.push_back('\0'); continue;
      case 't': out.push_back('\t'); continue;
      case 'n': out.push_back('\n'); continue;
      case 'r': out.push_back('\r'); continue;
      case '\\': out.push_back('\\'); continue;
      case '"': out.push_back('"'); continue;
      case 'x': {
        const auto hi = i < body.size() ? HexValue(body[i], true, false) : std::nullopt;
        const auto lo = i + 1 < body.size() ? HexValue(body[i + 1], true, false) : std::nullopt;
        if (!hi || !lo) {
          problem = "\\x not followed by two upper-case hex digits";
          return std::nullopt;
        }
        out.push_back(static_cast<char>(*hi << 4 | *lo));
        ++byte_escapes;
        i += 2;
        continue;
      }
      case 'u': {
        if (i >= body.size() || body[i] != '{') {
          problem = "\\u not followed by {";
          return std::nullopt;
        }
        ++i;
        char32_t value = 0;
        std::size_t digits = 0;
        while (i < body.size() && body[i] != '}') {
          const auto d = HexValue(body[i], false, true);
          if (!d || digits == 6) {
            problem = "bad digits in \\u{...}";
            return std::nullopt;
          }
          if (digits == 0 && *d == 0 && i + 1 < body.size() && body[i + 1] != '}') {
            problem = "leading zero in \\u{...}";
            return std::nullopt;
          }
          value = value << 4 | static_cast<char32_t>(*d);
          ++digits;
          ++i;
        }
        if (i >= body.size() || digits == 0 || value > 0x10FFFF ||
            (value >= 0xD800 && value <= 0xDFFF)) {
          problem = "unterminated or invalid \\u{...}";
          return std::nullopt;
        }
        ++i;
        AppendUtf8(out, value);
        continue;
      }
      default:
        problem = std::string("unknown escape \\") + e;
        return std::nullopt;
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    char32_t c;
    const std::size_t len = Utf8Length(s, i, c);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool as_path = (data[0] & 1) != 0;
  const std::string_view input = qiv::fuzz::AsText(data + 1, size - 1);

  static constexpr std::string_view kPrefix = "prefix\xc3\xa9";
  std::string out(kPrefix);
  if (as_path) {
    qiv::AppendReprQuotedPath(out, input);
  } else {
    qiv::AppendReprQuoted(out, input);
  }
  const char* variant = as_path ? "AppendReprQuotedPath" : "AppendReprQuoted";

  QIV_FUZZ_CHECK(out.starts_with(kPrefix),
                 variant << " changed the text before its output: " << Escaped(out));
  const std::string_view quoted = std::string_view(out).substr(kPrefix.size());
  QIV_FUZZ_CHECK(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"',
                 variant << "(" << Escaped(input) << ") is not quoted: " << Escaped(quoted));
  const std::string_view body = quoted.substr(1, quoted.size() - 2);

  std::string problem;
  std::size_t byte_escapes = 0;
  const auto original = Unquote(body, problem, byte_escapes);
  QIV_FUZZ_CHECK(original.has_value(), variant << "(" << Escaped(input) << ") gave "
                                               << Escaped(quoted) << ": " << problem);
  QIV_FUZZ_CHECK(*original == input, variant << "(" << Escaped(input) << ") gave "
                                             << Escaped(quoted) << ", which undoes to "
                                             << Escaped(*original));
  if (IsValidUtf8(input)) {
    QIV_FUZZ_CHECK(byte_escapes == 0,
                   variant << "(" << Escaped(input) << ") of valid UTF-8 used \\x: "
                           << Escaped(quoted));
  }

  if (!as_path) {
    QIV_FUZZ_CHECK(qiv::ReprQuoted(input) == quoted,
                   "ReprQuoted and AppendReprQuoted differ on " << Escaped(input));
  }
  return 0;
}

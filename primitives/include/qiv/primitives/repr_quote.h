// The quoting rule for texts shown in representations and in "invalid type" messages.
//
// AppendReprQuoted writes the text between two double quotes: NUL, tab, line feed and carriage
// return as \0 \t \n \r; backslash and double quote escaped with a backslash (the apostrophe is
// not); characters with Grapheme_Extend, and those of the categories Cc Cf Cs Co Cn Zl Zp Zs
// other than U+0020, as \u{<lowercase hex>}; everything else as itself in UTF-8. Character
// properties are those of Unicode 17.0.
//
// AppendReprQuotedPath is the same rule for file-system paths, which are bytes: each byte that
// is not part of a valid UTF-8 character is written as \x and two upper-case hex digits.
//
//   std::string out;
//   qiv::AppendReprQuoted(out, "a\u0301");           // out == "\"a\\u{301}\""
//   qiv::AppendReprQuotedPath(out, "q\xff");         // appends "\"q\\xFF\""
//
// Pure functions; thread-safe.
#ifndef QIV_PRIMITIVES_REPR_QUOTE_H_
#define QIV_PRIMITIVES_REPR_QUOTE_H_

#include <string>
#include <string_view>

namespace qiv {

// `utf8_text` should be valid UTF-8; should it hold a byte that is not part of a valid
// character, that byte is written as in AppendReprQuotedPath.
void AppendReprQuoted(std::string& out, std::string_view utf8_text);
std::string ReprQuoted(std::string_view utf8_text);

// `path_bytes`: any bytes.
void AppendReprQuotedPath(std::string& out, std::string_view path_bytes);

}  // namespace qiv

#endif  // QIV_PRIMITIVES_REPR_QUOTE_H_

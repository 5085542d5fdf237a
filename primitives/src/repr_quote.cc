// Interim ASCII-only version of the quoting rule; the Unicode tables replace it.
#include "qiv/primitives/repr_quote.h"

#include <cstdio>

namespace qiv {

void AppendReprQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case 0: out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

std::string ReprQuoted(std::string_view text) {
  std::string out;
  AppendReprQuoted(out, text);
  return out;
}

}  // namespace qiv

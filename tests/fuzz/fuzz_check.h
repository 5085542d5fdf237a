// Helpers shared by the libFuzzer targets.
//
//   extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
//     std::string_view text = qiv::fuzz::AsText(data, size);
//     QIV_FUZZ_CHECK(Property(text), "property broken for " << qiv::fuzz::Escaped(text));
//     return 0;
//   }
//
// A broken property prints what was expected and what came out, then aborts, which libFuzzer
// records as a crash with the input saved beside it. A qiv::Fault escaping a target aborts too
// (std::terminate): none of the parsers may fault on any input.
#ifndef QIV_TESTS_FUZZ_FUZZ_CHECK_H_
#define QIV_TESTS_FUZZ_FUZZ_CHECK_H_

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

namespace qiv::fuzz {

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// The bytes as a C string literal: printable ASCII as itself (quote and backslash escaped),
// every other byte as \xHH, so that a report can be pasted into a test.
inline std::string Escaped(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  bool after_hex_escape = false;
  for (char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    const bool printable = b >= 0x20 && b < 0x7F;
    // A hex digit straight after \xHH would extend that escape: split the literal there.
    if (after_hex_escape && printable && std::isxdigit(b)) out += "\"\"";
    after_hex_escape = false;
    if (b == '"' || b == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (printable) {
      out.push_back(ch);
    } else {
      out += "\\x";
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
      after_hex_escape = true;
    }
  }
  out.push_back('"');
  return out;
}

[[noreturn]] inline void Fail(const char* file, int line, const char* condition,
                              const std::string& detail) {
  std::fprintf(stderr, "%s:%d: fuzz property failed: %s\n  %s\n", file, line, condition,
               detail.c_str());
  std::abort();
}

}  // namespace qiv::fuzz

// Aborts with `detail` (an ostream expression) when `condition` is false.
#define QIV_FUZZ_CHECK(condition, detail)                                \
  do {                                                                   \
    if (!(condition)) {                                                  \
      std::ostringstream qiv_fuzz_detail_;                               \
      qiv_fuzz_detail_ << detail;                                        \
      ::qiv::fuzz::Fail(__FILE__, __LINE__, #condition, qiv_fuzz_detail_.str()); \
    }                                                                    \
  } while (false)

#endif  // QIV_TESTS_FUZZ_FUZZ_CHECK_H_

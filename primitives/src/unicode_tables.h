// Character property tables generated from the Unicode 17.0 data (unicode_tables.cc).
// Internal to qiv_primitives: callers use qiv/primitives/unicode.h.
#ifndef QIV_PRIMITIVES_SRC_UNICODE_TABLES_H_
#define QIV_PRIMITIVES_SRC_UNICODE_TABLES_H_

#include <cstddef>

namespace qiv::unicode_internal {

// A closed range [first, last] of code points.
struct CodePointRange {
  char32_t first;
  char32_t last;
};

// Each table is sorted by `first`; its ranges neither overlap nor touch.
extern const CodePointRange kGraphemeExtendRanges[];
extern const std::size_t kGraphemeExtendCount;
// General categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs.
extern const CodePointRange kNotPrintableRanges[];
extern const std::size_t kNotPrintableCount;
extern const CodePointRange kWhiteSpaceRanges[];
extern const std::size_t kWhiteSpaceCount;

}  // namespace qiv::unicode_internal

#endif  // QIV_PRIMITIVES_SRC_UNICODE_TABLES_H_

// The shared body of the JSON record targets: one per record, each a few lines.
//
//   // address_json_fuzz.cc
//   #include "json_record_fuzz.h"
//   #include "qiv/primitives/address.h"
//   extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
//     return qiv::fuzz::FuzzJsonRecord<qiv::ProtocolAddress>(data, size);
//   }
//
// Properties, for a record type R and every input:
//   - neither reader faults; a refusal has a message and a position inside the input;
//   - for valid UTF-8 the text and the byte reader agree: both accept an equal record, or
//     both refuse with the same message and position;
//   - an accepted record writes, in the compact style, a text that reads to an equal record
//     and writes the same bytes again; the two-space style reads back equal too and differs
//     from the compact one only in white space outside strings.
// "Equal" is to the record as its writer keeps it: a record whose writer leaves a value out
// by design (a descriptor's attestation without certificates) passes `written_form`, which
// maps a record read to the one its written text must read back as.
#ifndef QIV_TESTS_FUZZ_JSON_RECORD_FUZZ_H_
#define QIV_TESTS_FUZZ_JSON_RECORD_FUZZ_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "qiv/primitives/json_record.h"
#include "qiv/primitives/json_writer.h"
#include "qiv/primitives/unicode.h"

namespace qiv::fuzz {

inline bool IsValidUtf8Text(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    char32_t c;
    const std::size_t n = DecodeUtf8Char(s, i, c);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// `json` with the white space between tokens removed (strings kept as they are).
inline std::string WithoutInterTokenSpace(std::string_view json) {
  std::string out;
  bool in_string = false, escaped = false;
  for (char c : json) {
    if (in_string) {
      out.push_back(c);
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
      out.push_back(c);
    } else if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
      out.push_back(c);
    }
  }
  return out;
}

inline std::string ErrorText(const JsonError& e) {
  return e.message() + " at line " + std::to_string(e.line()) + " column " +
         std::to_string(e.column());
}

template <typename R>
R AsWritten(const R& record) {
  return record;
}

template <typename R>
int FuzzJsonRecord(const std::uint8_t* data, std::size_t size,
                   R (*written_form)(const R&) = &AsWritten<R>) {
  const std::string_view input = AsText(data, size);
  const auto from_bytes = json::ReadRecordFromBytes<R>(std::span<const std::uint8_t>(data, size));
  if (!from_bytes.ok()) {
    const JsonError& e = from_bytes.error();
    QIV_FUZZ_CHECK(!e.message().empty() && e.line() >= 1 && e.line() <= size + 1 &&
                       e.column() <= size,
                   "byte reader refused " << Escaped(input) << " with " << ErrorText(e));
  }
  if (IsValidUtf8Text(input)) {
    const auto from_text = json::ReadRecordFromText<R>(input);
    QIV_FUZZ_CHECK(from_text.ok() == from_bytes.ok(),
                   "text and byte readers disagree on " << Escaped(input) << ": text "
                       << (from_text.ok() ? "accepts" : ErrorText(from_text.error())) << ", bytes "
                       << (from_bytes.ok() ? "accept" : ErrorText(from_bytes.error())));
    if (from_text.ok()) {
      QIV_FUZZ_CHECK(*from_text == *from_bytes,
                     "text and byte readers read " << Escaped(input) << " differently");
    } else {
      QIV_FUZZ_CHECK(ErrorText(from_text.error()) == ErrorText(from_bytes.error()),
                     "text and byte readers refuse " << Escaped(input) << " differently: "
                         << ErrorText(from_text.error()) << " / "
                         << ErrorText(from_bytes.error()));
    }
  }
  if (!from_bytes.ok()) return 0;

  const R& record = *from_bytes;
  const R expected = written_form(record);
  const std::string compact = json::RecordToJson(record, JsonWriter::Style::kCompact);
  const auto reread = json::ReadRecordFromText<R>(compact);
  QIV_FUZZ_CHECK(reread.ok(), "compact form " << Escaped(compact) << " of " << Escaped(input)
                                              << " is refused: "
                                              << (reread.ok() ? "" : ErrorText(reread.error())));
  QIV_FUZZ_CHECK(*reread == expected, "compact form " << Escaped(compact) << " of "
                                                      << Escaped(input) << " reads differently");
  const std::string again = json::RecordToJson(*reread, JsonWriter::Style::kCompact);
  QIV_FUZZ_CHECK(again == compact, "second write " << Escaped(again) << " differs from first "
                                                   << Escaped(compact));

  const std::string pretty = json::RecordToJson(record, JsonWriter::Style::kTwoSpace);
  const auto from_pretty = json::ReadRecordFromText<R>(pretty);
  QIV_FUZZ_CHECK(from_pretty.ok() && *from_pretty == expected,
                 "two-space form " << Escaped(pretty) << " does not read back equal");
  QIV_FUZZ_CHECK(WithoutInterTokenSpace(pretty) == compact,
                 "two-space form " << Escaped(pretty) << " differs from compact "
                                   << Escaped(compact) << " beyond white space");
  return 0;
}

}  // namespace qiv::fuzz

#endif  // QIV_TESTS_FUZZ_JSON_RECORD_FUZZ_H_

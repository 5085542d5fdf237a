// The JSON bridge of the record classes: to_json, to_dict, from_json and from_dict.
//
// One instantiation per class names the record and its two error prefixes; its four static
// functions are the typed implementations of the four methods:
//
//   using EnvelopeJson = RecordJson<SignedEnvelope, "serialize SignedEnvelope",
//                                   "invalid SignedEnvelope JSON">;
//   Class<SignedEnvelope>(kDoc)
//       .StaticMethod<EnvelopeJson::FromJson>("from_json", kFromJsonDoc, {"s"})
//       .Method<EnvelopeJson::ToJson>("to_json", kToJsonDoc)
//       .StaticMethod<EnvelopeJson::FromDict>("from_dict", kFromDictDoc, {"d"})
//       .Method<EnvelopeJson::ToDict>("to_dict", kToDictDoc)
//
// The record is written with its own writer in the compact style, as `R::Serialize(writer)`
// when it has one and through its JSON description otherwise; a Serialize that returns a
// Result<void, JsonError> may fail, and its failure is ValueError "<serialize prefix>: <error>".
// It is read with `R::Deserialize(reader)` when it has one, else through its description,
// from the text of a str; only JSON white space may follow the value ("trailing characters"
// at the first other byte). A reading error is ValueError "<parse prefix>: <error>", the
// error ending in " at line <l> column <c>".
//
// to_dict is json.loads(to_json()) and from_dict is from_json(json.dumps(d)), the host's json
// module imported on each call (json_bridge.h); `d` must be a dict (or subclass), checked
// before json is touched. A class without a reader (CounterpartyInfo) uses ToDict alone.
//
// Requires the interpreter lock.
#ifndef QIV_BINDING_MACHINERY_RECORD_JSON_H_
#define QIV_BINDING_MACHINERY_RECORD_JSON_H_

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "machinery/convert.h"
#include "machinery/error.h"
#include "machinery/json_bridge.h"
#include "machinery/py_ref.h"
#include "qiv/primitives/json_error.h"
#include "qiv/primitives/json_reader.h"
#include "qiv/primitives/json_record.h"
#include "qiv/primitives/json_writer.h"
#include "qiv/primitives/result.h"

namespace qiv::py {

// A string literal usable as a template argument.
template <std::size_t N>
struct FixedText {
  constexpr FixedText(const char (&text)[N]) { std::copy_n(text, N, chars); }  // NOLINT
  constexpr std::string_view view() const { return std::string_view(chars, N - 1); }
  char chars[N];
};

// The usual docstrings of the four methods (text signatures only).
inline constexpr char kFromJsonDoc[] = "from_json(s)\n--\n\n";
inline constexpr char kToJsonDoc[] = "to_json($self)\n--\n\n";
inline constexpr char kFromDictDoc[] = "from_dict(d)\n--\n\n";
inline constexpr char kToDictDoc[] = "to_dict($self)\n--\n\n";

// Most records fit; a longer one grows the buffer.
inline constexpr std::size_t kRecordJsonInitialCapacity = 128;

namespace internal {

template <typename R>
concept HasOwnWriter = requires(const R& record, JsonWriter& writer) { record.Serialize(writer); };
template <typename R>
concept HasOwnReader = requires(JsonReader& reader) { R::Deserialize(reader); };

}  // namespace internal

template <typename R, FixedText kSerializePrefix, FixedText kParsePrefix>
struct RecordJson {
  // record_to_json: the compact text of `record`.
  static PyResult<std::string> RecordToJson(const R& record) {
    JsonWriter writer(JsonWriter::Style::kCompact, kRecordJsonInitialCapacity);
    if constexpr (internal::HasOwnWriter<R>) {
      using Written = decltype(record.Serialize(writer));
      if constexpr (std::is_void_v<Written>) {
        record.Serialize(writer);
      } else {
        Written written = record.Serialize(writer);
        if (!written.ok()) {
          return Err(Error::ValueError(std::string(kSerializePrefix.view()) + ": " +
                                       written.error().ToString()));
        }
      }
    } else {
      json::WriteRecord(writer, record);
    }
    return std::move(writer).Release();
  }

  // record_from_json: one value and nothing after it but JSON white space.
  static PyResult<R> RecordFromJson(std::string_view utf8) {
    Result<R, JsonError> read = ReadWhole(utf8);
    if (!read.ok()) {
      return Err(Error::ValueError(std::string(kParsePrefix.view()) + ": " +
                                   read.error().ToString()));
    }
    return *std::move(read);
  }

  static PyResult<std::string> ToJson(const R& self) { return RecordToJson(self); }

  static PyResult<PyRef> ToDict(const R& self) {
    auto text = RecordToJson(self);
    if (!text.ok()) return Err(std::move(text).error());
    return JsonLoads(*text);
  }

  static PyResult<R> FromJson(std::string_view s) { return RecordFromJson(s); }

  // The dict check is the argument conversion of `d`, made before this runs.
  static PyResult<R> FromDict(Dict d) {
    auto text = JsonDumps(d);
    if (!text.ok()) return Err(std::move(text).error());
    return RecordFromJson(*text);
  }

 private:
  static Result<R, JsonError> ReadWhole(std::string_view utf8) {
    if constexpr (internal::HasOwnReader<R>) {
      JsonReader reader = JsonReader::OverText(utf8);
      auto read = R::Deserialize(reader);
      if (!read.ok()) return Err(std::move(read).error());
      if (!reader.ExpectEnd()) return Err(reader.TakeError());
      return *std::move(read);
    } else {
      return json::ReadRecordFromText<R>(utf8);
    }
  }
};

}  // namespace qiv::py

#endif  // QIV_BINDING_MACHINERY_RECORD_JSON_H_

// The record JSON engine: every record reads and writes its JSON form from a small table.
//
// A record describes itself with a private static constexpr JsonDescription() that lists its
// fields in declaration order (the JSON key order, the array-form order and the order in
// which missing fields are reported), and befriends json::RecordAccess, which is also how
// the reader default-constructs it before filling it:
//
//   class Example {
//    public:
//     ...accessors...
//    private:
//     friend class json::RecordAccess;
//     Example() = default;
//     static constexpr auto JsonDescription() {
//       return json::Describe("Example",                        // "struct Example"
//           json::Field("name", &Example::name_),                // std::string: required text
//           json::Field("kind", &Example::kind_),                // enum with json::EnumTraits
//           json::Field("peer", &Example::peer_),                // std::optional<Record>
//           json::Field("chain", &Example::chain_)               // nested record, defaulted,
//               .Defaulted()                                     //   left out when empty
//               .OmitWhen([](const Chain& c) { return c.is_empty(); }),
//           json::Field("note", &Example::note_).WriteNullWhenAbsent());
//     }
//     std::string name_;
//     Kind kind_{};
//     std::optional<Address> peer_;
//     Chain chain_ = json::RecordAccess::Make<Chain>();  // a record member whose default
//     std::optional<std::string> note_;                   // constructor is private
//   };
//
//   Result<Example, JsonError> r = json::ReadRecordFromText<Example>(text);
//   std::string text = json::RecordToJson(example, JsonWriter::Style::kCompact);
//
// Field kinds follow from the member's type:
//   std::string               text
//   bool                      boolean (true / false literals)
//   enum E                    enumeration; specialise json::EnumTraits<E> with kNames, the
//                             lower-case names in value order (values 0..n-1)
//   a described record        nested record (one more level in both forms)
//   std::optional<T>          optional T: null or a missing key is absent
//   std::vector<std::string>  list of texts
//   T with json::TextCodec<T> a JSON string converted by the codec, whose failure message
//                             becomes the error (positioned behind the string)
//
// Presence (object form / array form):
//   required (default for non-optional types)   missing key fails / missing element fails
//   optional (default for std::optional)        missing key is absent / missing element fails
//   .Defaulted()                                missing key and missing element take T{}
// Writing: optional values that are absent are left out unless .WriteNullWhenAbsent();
// .OmitWhen(pred) leaves a field out when pred(value) holds.
//
// Everything here is stateless; any number of threads may read and write records at once.
#ifndef QIV_PRIMITIVES_JSON_RECORD_H_
#define QIV_PRIMITIVES_JSON_RECORD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "qiv/primitives/json_error.h"
#include "qiv/primitives/json_reader.h"
#include "qiv/primitives/json_writer.h"
#include "qiv/primitives/result.h"

namespace qiv::json {

// Specialise for each enumeration with a JSON form:
//   template <> struct EnumTraits<Direction> {
//     static constexpr std::array<std::string_view, 2> kNames = {"outbound", "inbound"};
//   };
template <typename E>
struct EnumTraits {};

// Specialise for a value kept as a JSON string with its own text form:
//   template <> struct TextCodec<UtcTimestamp> {
//     static constexpr std::string_view kExpected = "an RFC 3339 formatted date and time string";
//     // On failure sets *message (without position) and returns false.
//     static bool Parse(std::string_view text, UtcTimestamp* out, std::string* message);
//     static void Format(const UtcTimestamp& value, std::string* out);  // appends
//   };
template <typename T>
struct TextCodec {};

enum class Presence : std::uint8_t { kRequired, kOptional, kDefaulted };

template <typename T>
inline constexpr bool kIsOptional = false;
template <typename T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <typename R, typename T>
struct FieldDesc {
  using Record = R;
  using Value = T;

  std::string_view key;
  T R::*member;
  Presence presence;
  bool write_null_when_absent = false;
  bool (*omit_when)(const T&) = nullptr;

  constexpr FieldDesc Defaulted() const {
    FieldDesc f = *this;
    f.presence = Presence::kDefaulted;
    return f;
  }
  constexpr FieldDesc WriteNullWhenAbsent() const {
    FieldDesc f = *this;
    f.write_null_when_absent = true;
    return f;
  }
  constexpr FieldDesc OmitWhen(bool (*predicate)(const T&)) const {
    FieldDesc f = *this;
    f.omit_when = predicate;
    return f;
  }
};

template <typename R, typename T>
constexpr FieldDesc<R, T> Field(std::string_view key, T R::*member) {
  return FieldDesc<R, T>{key, member, kIsOptional<T> ? Presence::kOptional : Presence::kRequired};
}

template <typename R, typename... Fields>
struct RecordDesc {
  std::string_view name;
  std::tuple<Fields...> fields;
};

template <typename R, typename... Ts>
constexpr RecordDesc<R, FieldDesc<R, Ts>...> Describe(std::string_view name,
                                                      FieldDesc<R, Ts>... fields) {
  static_assert(sizeof...(Ts) <= 64, "a record has at most 64 fields");
  return RecordDesc<R, FieldDesc<R, Ts>...>{name, std::tuple<FieldDesc<R, Ts>...>(fields...)};
}

// The engine's access to a record's description and private default constructor. A record
// that holds another record by value initialises that member with Make<Inner>(), since the
// inner default constructor is private too.
class RecordAccess {
 public:
  template <typename R>
  static constexpr bool kIsRecord = requires { R::JsonDescription(); };

  template <typename R>
  static constexpr auto Description() {
    return R::JsonDescription();
  }
  template <typename R>
  static R Make() {
    return R();
  }
};

template <typename R>
inline constexpr auto kDescription = RecordAccess::Description<R>();

namespace internal {

template <typename T>
concept EnumKind = std::is_enum_v<T> && requires { EnumTraits<T>::kNames; };
template <typename T>
concept TextCodecKind = requires { TextCodec<T>::kExpected; };

std::string DuplicateFieldMessage(std::string_view key);
std::string MissingFieldMessage(std::string_view key);
std::string InvalidLengthMessage(std::size_t position, std::string_view record_name,
                                 std::size_t field_count);

template <typename T>
T MakeValue() {
  if constexpr (RecordAccess::kIsRecord<T>) {
    return RecordAccess::Make<T>();
  } else {
    return T{};
  }
}

template <typename R>
bool ReadRecordInto(JsonReader& reader, R* out);
template <typename R>
void WriteRecordTo(JsonWriter& writer, const R& record);

template <typename T>
bool ReadValue(JsonReader& reader, T* out) {
  if constexpr (std::is_same_v<T, std::string>) {
    return reader.ReadText(out);
  } else if constexpr (std::is_same_v<T, bool>) {
    return reader.ReadBool(out);
  } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    return reader.ReadTextList(out);
  } else if constexpr (kIsOptional<T>) {
    bool is_null = false;
    if (!reader.ConsumeNull(&is_null)) return false;
    if (is_null) {
      out->reset();
      return true;
    }
    using Inner = typename T::value_type;
    if constexpr (std::is_same_v<Inner, std::string>) {
      // Decode straight into the optional's own string.
      out->emplace();
      return reader.ReadText(&**out);
    } else {
      Inner inner = MakeValue<Inner>();
      if (!ReadValue(reader, &inner)) return false;
      *out = std::move(inner);
      return true;
    }
  } else if constexpr (EnumKind<T>) {
    constexpr auto& names = EnumTraits<T>::kNames;
    std::size_t index = 0;
    if (!reader.ReadEnum(std::span<const std::string_view>(names.data(), names.size()), &index)) {
      return false;
    }
    *out = static_cast<T>(index);
    return true;
  } else if constexpr (RecordAccess::kIsRecord<T>) {
    return ReadRecordInto(reader, out);
  } else if constexpr (TextCodecKind<T>) {
    std::string_view text;
    if (!reader.ReadTextView(TextCodec<T>::kExpected, &text)) return false;
    std::string message;
    if (!TextCodec<T>::Parse(text, out, &message)) return reader.FailAfter(std::move(message));
    return true;
  } else {
    static_assert(sizeof(T) == 0, "no JSON kind for this field type");
  }
}

template <typename T>
void WriteValue(JsonWriter& writer, const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    writer.String(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    writer.Bool(value);
  } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    writer.BeginArray();
    for (const std::string& text : value) writer.String(text);
    writer.EndArray();
  } else if constexpr (kIsOptional<T>) {
    if (value.has_value()) {
      WriteValue(writer, *value);
    } else {
      writer.Null();
    }
  } else if constexpr (EnumKind<T>) {
    writer.String(EnumTraits<T>::kNames[static_cast<std::size_t>(value)]);
  } else if constexpr (RecordAccess::kIsRecord<T>) {
    WriteRecordTo(writer, value);
  } else if constexpr (TextCodecKind<T>) {
    std::string& buf = writer.scratch();
    buf.clear();
    TextCodec<T>::Format(value, &buf);
    writer.String(buf);
  } else {
    static_assert(sizeof(T) == 0, "no JSON kind for this field type");
  }
}

template <typename R, std::size_t... I>
bool ReadObjectForm(JsonReader& reader, R* out, std::index_sequence<I...>) {
  constexpr auto& desc = kDescription<R>;
  std::uint64_t seen = 0;
  bool first = true;
  for (;;) {
    std::string_view key;
    bool done = false;
    if (!reader.NextKey(first, &key, &done)) return false;
    if (done) break;
    first = false;
    bool ok = true;
    bool matched = ((key == std::get<I>(desc.fields).key
                         ? (ok = [&] {
                             constexpr std::uint64_t kBit = std::uint64_t{1} << I;
                             if (seen & kBit) return reader.FailPending(DuplicateFieldMessage(key));
                             seen |= kBit;
                             return reader.ExpectColon() &&
                                    ReadValue(reader, &(out->*std::get<I>(desc.fields).member));
                           }(),
                            true)
                         : false) ||
                    ...);
    if (!matched) ok = reader.ExpectColon() && reader.SkipValue();
    if (!ok) return false;
  }
  // Fields without a value, in declaration order.
  return ([&] {
    constexpr auto& field = std::get<I>(desc.fields);
    if (seen & (std::uint64_t{1} << I)) return true;
    using T = typename std::remove_cvref_t<decltype(field)>::Value;
    if constexpr (field.presence == Presence::kRequired) {
      return reader.FailPending(MissingFieldMessage(field.key));
    } else {
      out->*field.member = MakeValue<T>();
      return true;
    }
  }() && ...);
}

template <typename R, std::size_t... I>
bool ReadArrayForm(JsonReader& reader, R* out, std::index_sequence<I...>) {
  constexpr auto& desc = kDescription<R>;
  bool first = true;
  return ([&] {
    constexpr auto& field = std::get<I>(desc.fields);
    using T = typename std::remove_cvref_t<decltype(field)>::Value;
    bool has = false;
    if (!reader.NextElement(&first, &has)) return false;
    if (has) return ReadValue(reader, &(out->*field.member));
    if constexpr (field.presence == Presence::kDefaulted) {
      out->*field.member = MakeValue<T>();
      return true;
    } else {
      return reader.FailPending(InvalidLengthMessage(I, desc.name, sizeof...(I)));
    }
  }() && ...);
}

template <typename R>
bool ReadRecordInto(JsonReader& reader, R* out) {
  constexpr auto& desc = kDescription<R>;
  constexpr std::size_t kFields = std::tuple_size_v<decltype(desc.fields)>;
  bool is_object = false;
  if (!reader.BeginRecord(desc.name, &is_object)) return false;
  bool ok = is_object ? ReadObjectForm(reader, out, std::make_index_sequence<kFields>())
                      : ReadArrayForm(reader, out, std::make_index_sequence<kFields>());
  return reader.FinishRecord(is_object, ok);
}

template <typename R, std::size_t... I>
void WriteFields(JsonWriter& writer, const R& record, std::index_sequence<I...>) {
  constexpr auto& desc = kDescription<R>;
  (
      [&] {
        constexpr auto& field = std::get<I>(desc.fields);
        using T = typename std::remove_cvref_t<decltype(field)>::Value;
        const T& value = record.*field.member;
        if constexpr (kIsOptional<T>) {
          if (!value.has_value() && !field.write_null_when_absent) return;
        }
        // A plain `if`: under the sanitizers a predicate with external linkage is not a
        // constant, so testing it in `if constexpr` fails to compile.
        if (field.omit_when != nullptr && field.omit_when(value)) return;
        writer.Key(field.key);
        WriteValue(writer, value);
      }(),
      ...);
}

template <typename R>
void WriteRecordTo(JsonWriter& writer, const R& record) {
  constexpr std::size_t kFields = std::tuple_size_v<decltype(kDescription<R>.fields)>;
  writer.BeginObject();
  WriteFields(writer, record, std::make_index_sequence<kFields>());
  writer.EndObject();
}

}  // namespace internal

// Reads one record at the reader's position (whitespace before it included). Nothing after
// the record is looked at beyond its closing bracket.
template <typename R>
Result<R, JsonError> ReadRecord(JsonReader& reader) {
  R out = RecordAccess::Make<R>();
  if (!internal::ReadRecordInto(reader, &out)) return Err(reader.TakeError());
  return out;
}

// Reads a whole text holding one record and nothing after it but whitespace.
template <typename R>
Result<R, JsonError> ReadRecordFromText(std::string_view utf8) {
  JsonReader reader = JsonReader::OverText(utf8);
  R out = RecordAccess::Make<R>();
  if (!internal::ReadRecordInto(reader, &out) || !reader.ExpectEnd()) {
    return Err(reader.TakeError());
  }
  return out;
}

// The same over arbitrary bytes: decoded strings and keys must be valid UTF-8.
template <typename R>
Result<R, JsonError> ReadRecordFromBytes(std::span<const std::uint8_t> bytes) {
  JsonReader reader = JsonReader::OverBytes(bytes);
  R out = RecordAccess::Make<R>();
  if (!internal::ReadRecordInto(reader, &out) || !reader.ExpectEnd()) {
    return Err(reader.TakeError());
  }
  return out;
}

// Writes a record as a JSON object at the writer's position.
template <typename R>
void WriteRecord(JsonWriter& writer, const R& record) {
  internal::WriteRecordTo(writer, record);
}

// The record as a whole JSON text in `style`.
template <typename R>
std::string RecordToJson(const R& record, JsonWriter::Style style) {
  JsonWriter writer(style);
  internal::WriteRecordTo(writer, record);
  return std::move(writer).Release();
}

}  // namespace qiv::json

#endif  // QIV_PRIMITIVES_JSON_RECORD_H_

// JsonWriter: builds one JSON text in memory, in the compact or the two-space style.
//
// Compact output has no whitespace at all. The two-space style puts every object member and
// array element on its own line, indented by two spaces per open level, writes ": " between
// key and value, and ends without a line feed; an empty object or array is "{}" or "[]".
//
// Texts (keys and values) are escaped minimally: the quotation mark and the backslash get a
// backslash; 0x08, 0x09, 0x0A, 0x0C and 0x0D are written as \b \t \n \f \r; every other
// byte below 0x20 as \u00 and two lowercase hexadecimal digits; all other bytes, "/", 0x7F
// and non-ASCII UTF-8 included, as they are.
//
//   JsonWriter w(JsonWriter::Style::kCompact);
//   w.BeginArray();
//   w.String("e1");
//   w.Null();
//   w.EndArray();
//   std::string text = std::move(w).Release();  // ["e1",null]
//
// Writing cannot fail. A writer is used by one thread at a time.
#ifndef QIV_PRIMITIVES_JSON_WRITER_H_
#define QIV_PRIMITIVES_JSON_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qiv {

class JsonWriter {
 public:
  enum class Style { kCompact, kTwoSpace };

  explicit JsonWriter(Style style = Style::kCompact) : JsonWriter(style, kInitialCapacity) {}
  // With the output buffer reserved to `initial_capacity` bytes up front.
  JsonWriter(Style style, std::size_t initial_capacity) : style_(style) {
    out_.reserve(initial_capacity);
  }

  Style style() const { return style_; }

  // Containers. Inside an object every value must be preceded by Key().
  void BeginObject();
  void Key(std::string_view key);
  void EndObject();
  void BeginArray();
  void EndArray();

  // Scalars.
  void String(std::string_view text);
  void Bool(bool value);
  void Null();

  // A buffer that value writers may use to format a text before passing it to String().
  std::string& scratch() { return scratch_; }

  const std::string& output() const { return out_; }
  std::string Release() && { return std::move(out_); }

 private:
  // Comma, line feed and indentation before an array element.
  void BeforeValue();
  void NewlineAndIndent(std::size_t levels);
  void OpenContainer(char bracket, bool is_array);
  void CloseContainer(char bracket);

  // Most records fit, so a write usually allocates its output once.
  static constexpr std::size_t kInitialCapacity = 256;
  enum : std::uint8_t { kArray = 1, kHasEntries = 2 };

  Style style_;
  std::string out_;
  std::string scratch_;
  // One byte per open container, kArray | kHasEntries; a string so that the usual few
  // levels need no allocation.
  std::string open_;
};

}  // namespace qiv

#endif  // QIV_PRIMITIVES_JSON_WRITER_H_

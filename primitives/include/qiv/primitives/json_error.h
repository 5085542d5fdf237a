// JsonError: the one failure value of the JSON codec.
//
// A reading error carries a message and the line and column of the byte offset at which the
// reader reported it: line is 1 plus the line feeds before the offset, column the number of
// bytes since the last line feed (the offset itself when there is none). Line 0 means the
// error has no position. The text form appends " at line <l> column <c>" to the message
// whenever there is a position.
//
//   JsonError e = JsonError::AtOffset("trailing characters", input, 41);
//   e.ToString();  // "trailing characters at line 1 column 41"
//
// The fixed message texts of the reader live in namespace qiv::json_messages below.
//
// A JsonError is a plain value; thread-safe as such.
#ifndef QIV_PRIMITIVES_JSON_ERROR_H_
#define QIV_PRIMITIVES_JSON_ERROR_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qiv {

class JsonError {
 public:
  JsonError() = default;
  JsonError(std::string message, std::size_t line, std::size_t column)
      : message_(std::move(message)), line_(line), column_(column) {}

  // An error without position (line 0).
  static JsonError WithoutPosition(std::string message) {
    return JsonError(std::move(message), 0, 0);
  }
  // An error positioned at byte `offset` of `input` (offset <= input.size()).
  static JsonError AtOffset(std::string message, std::span<const std::uint8_t> input,
                            std::size_t offset);

  const std::string& message() const { return message_; }
  std::size_t line() const { return line_; }
  std::size_t column() const { return column_; }

  // "<message>" when line is 0, else "<message> at line <line> column <column>".
  std::string ToString() const;

  friend bool operator==(const JsonError&, const JsonError&) = default;

 private:
  std::string message_;
  std::size_t line_ = 0;
  std::size_t column_ = 0;
};

// The fixed syntax messages of the reader.
namespace json_messages {
inline constexpr std::string_view kEofValue = "EOF while parsing a value";
inline constexpr std::string_view kEofList = "EOF while parsing a list";
inline constexpr std::string_view kEofObject = "EOF while parsing an object";
inline constexpr std::string_view kEofString = "EOF while parsing a string";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kInvalidUnicode = "invalid unicode code point";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kRecursionLimit = "recursion limit exceeded";
}  // namespace json_messages

}  // namespace qiv

#endif  // QIV_PRIMITIVES_JSON_ERROR_H_

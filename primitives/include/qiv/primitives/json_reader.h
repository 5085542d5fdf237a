// JsonReader: a cursor over one JSON input, with the value readers that record readers use.
//
// The reader walks its input once. It has two forms that differ only in one check: the text
// form reads input that is already valid UTF-8 (the UTF-8 of a Python str), the byte form
// reads arbitrary bytes and checks every decoded string and key as UTF-8 ("invalid unicode
// code point").
//
// Every reading method returns true on success. On failure it returns false and the error is
// kept in the reader (error(), TakeError()); the first failure ends the read, and no method
// may be called after one except the closing step of a record (see FinishRecord).
//
// Most callers never touch a JsonReader directly: json_record.h reads whole records.
//
//   JsonReader reader = JsonReader::OverText(text);
//   std::string s;
//   if (!reader.ReadText(&s) || !reader.ExpectEnd()) return Err(reader.TakeError());
//
// A reader is used by one thread at a time; separate readers share nothing.
#ifndef QIV_PRIMITIVES_JSON_READER_H_
#define QIV_PRIMITIVES_JSON_READER_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qiv/primitives/json_error.h"

namespace qiv {

class JsonReader {
 public:
  // Each record object or array, enumeration object and list entered counts one level;
  // entering level kMaxDepth fails with "recursion limit exceeded".
  static constexpr int kMaxDepth = 128;

  // `utf8` must be valid UTF-8 and must outlive the reader.
  static JsonReader OverText(std::string_view utf8);
  // `bytes` may hold anything and must outlive the reader.
  static JsonReader OverBytes(std::span<const std::uint8_t> bytes);

  JsonReader(JsonReader&&) = default;
  JsonReader& operator=(JsonReader&&) = default;
  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // Offset of the next unread byte.
  std::size_t offset() const { return static_cast<std::size_t>(cur_ - begin_); }
  bool byte_form() const { return check_utf8_; }

  // ---- Value readers: each reads one value at the cursor, whitespace before it included.

  // A JSON string, decoded into *out (replacing its content). Other values fail with
  // "invalid type: <found>, expected a string".
  bool ReadText(std::string* out);
  // A JSON string decoded into a view that stays valid until the next string is read; other
  // values fail with an invalid type whose expectation is `expectation`. For field kinds
  // whose value is a string converted by the record's own reader.
  bool ReadTextView(std::string_view expectation, std::string_view* out);
  // The literals true and false; anything else: "invalid type: ..., expected a boolean".
  bool ReadBool(bool* out);
  // An enumeration over `names` (value order): the name as a string, or a one-key object
  // {"<name>": null}. Stores the matched position in *index.
  bool ReadEnum(std::span<const std::string_view> names, std::size_t* index);
  // A JSON array of strings; anything else: "invalid type: ..., expected a sequence".
  bool ReadTextList(std::vector<std::string>* out);
  // The first step of an optional value: when the next value starts with "n", consumes the
  // literal null and sets *is_null; otherwise consumes nothing and clears *is_null.
  bool ConsumeNull(bool* is_null);
  // Skips one well-formed value of any kind and any depth (syntax checks only; no depth
  // limit, no UTF-8 check, no number range check).
  bool SkipValue();
  // The end rule: only whitespace may remain.
  bool ExpectEnd();

  // ---- Record forms.

  // Record-value rule: skips whitespace and opens the record's object (*is_object = true) or
  // array, taking one depth level; any other value is an invalid type with the expectation
  // "struct <record_name>".
  bool BeginRecord(std::string_view record_name, bool* is_object);
  // Closing step after the object or array form, run whether the form succeeded or not.
  // When the form failed (form_ok false) the closing step's own outcome is discarded and the
  // form's error is returned; a pending data error of the form (FailPending) is positioned
  // behind what the closing step consumed.
  bool FinishRecord(bool is_object, bool form_ok);

  // Object form entry step. On "}" sets *done (the brace is left for the closing step);
  // otherwise decodes the next key into *key, a view valid until the next string is read.
  bool NextKey(bool first, std::string_view* key, bool* done);
  // The ":" after a key.
  bool ExpectColon();
  // Array form: whether another element follows. *first is true before the first element.
  bool NextElement(bool* first, bool* has);

  // ---- Errors.

  // Fails with `message` at the byte under the cursor (offset + 1), or at the end of input.
  bool FailAt(std::string_view message);
  // Fails with `message` at the cursor offset: the column of the last byte read.
  bool FailAfter(std::string message);
  // Fails with a data error of a record form, positioned by FinishRecord.
  bool FailPending(std::string message);
  // Names the value at the cursor, consuming it, and fails with
  // "invalid type: <found>, expected <expectation>", or with the syntax error met on the way.
  bool FailInvalidType(std::string_view expectation);

  const JsonError& error() const { return error_; }
  JsonError TakeError() { return std::move(error_); }

  // ---- Cursor primitives.

  void SkipWhitespace() {
    while (cur_ < end_ && IsWhitespace(*cur_)) ++cur_;
  }
  // Skips whitespace; returns the next byte without consuming it, or -1 at the end.
  int PeekNonWhitespace() {
    SkipWhitespace();
    return cur_ < end_ ? *cur_ : -1;
  }
  void Advance() { ++cur_; }

  // Depth step for a container whose opening bracket is under the cursor (not consumed).
  bool EnterContainer() {
    if (--remaining_depth_ == 0) return FailAt(json_messages::kRecursionLimit);
    return true;
  }
  void LeaveContainer() { ++remaining_depth_; }

 private:
  JsonReader(const std::uint8_t* data, std::size_t size, bool check_utf8)
      : begin_(data), cur_(data), end_(data + size), check_utf8_(check_utf8) {}

  static bool IsWhitespace(std::uint8_t c) {
    return c == ' ' || c == '\n' || c == '\t' || c == '\r';
  }

  bool FailAtOffset(std::string message, std::size_t offset);
  // Matches the rest of a literal whose first byte has been consumed.
  bool ParseIdent(std::string_view rest);
  // Decodes a string whose opening quote has been consumed. With `dest` the text goes into
  // *dest; otherwise *view points into the input or into scratch_.
  bool ParseString(std::string* dest, std::string_view* view);
  bool ParseEscape(std::string* buf);
  bool DecodeHex4(std::uint32_t* value);
  bool CheckUtf8(std::string_view decoded);
  // Skips a string whose opening quote has been consumed (no UTF-8 check, no pairing).
  bool SkipString();
  struct Number {
    const std::uint8_t* begin;
    const std::uint8_t* end;
    bool integral;
  };
  bool ScanNumber(Number* out);
  bool NameNumber(const Number& number, std::string* found);
  bool ReadVariantName(std::span<const std::string_view> names, std::size_t* index);
  bool CloseObject();
  bool CloseArray();

  const std::uint8_t* begin_;
  const std::uint8_t* cur_;
  const std::uint8_t* end_;
  bool check_utf8_;
  int remaining_depth_ = kMaxDepth;
  bool error_pending_ = false;
  JsonError error_;
  std::string scratch_;     // decoded strings that held escapes
  std::string skip_stack_;  // open containers while a value is skipped
};

}  // namespace qiv

#endif  // QIV_PRIMITIVES_JSON_READER_H_

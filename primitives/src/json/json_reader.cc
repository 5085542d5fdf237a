#include "qiv/primitives/json_reader.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

#include "number_text.h"
#include "string_scan.h"
#include "qiv/primitives/repr_quote.h"

namespace qiv {
namespace {

namespace msg = json_messages;

using json_internal::ScanStringRun;

inline bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

inline int HexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    // ASCII fast path, eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p == end) break;
    std::uint8_t c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t left = static_cast<std::size_t>(end - p);
    if (c >= 0xC2 && c <= 0xDF) {
      if (left < 2 || (p[1] & 0xC0) != 0x80) return false;
      p += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (left < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return false;
      if (c == 0xE0 && p[1] < 0xA0) return false;  // overlong
      if (c == 0xED && p[1] > 0x9F) return false;  // surrogate
      p += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (left < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 ||
          (p[3] & 0xC0) != 0x80) {
        return false;
      }
      if (c == 0xF0 && p[1] < 0x90) return false;  // overlong
      if (c == 0xF4 && p[1] > 0x8F) return false;  // above U+10FFFF
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

std::string UnknownVariantMessage(std::string_view name,
                                  std::span<const std::string_view> names) {
  std::string out = "unknown variant `";
  out.append(name);
  if (names.empty()) {
    out.append("`, there are no variants");
    return out;
  }
  out.append("`, expected ");
  if (names.size() == 1) {
    out.append("`").append(names[0]).append("`");
  } else if (names.size() == 2) {
    out.append("`").append(names[0]).append("` or `").append(names[1]).append("`");
  } else {
    out.append("one of ");
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i > 0) out.append(", ");
      out.append("`").append(names[i]).append("`");
    }
  }
  return out;
}

}  // namespace

JsonReader JsonReader::OverText(std::string_view utf8) {
  return JsonReader(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size(), false);
}

JsonReader JsonReader::OverBytes(std::span<const std::uint8_t> bytes) {
  return JsonReader(bytes.data(), bytes.size(), true);
}

// ---- Errors.

bool JsonReader::FailAtOffset(std::string message, std::size_t offset) {
  error_ = JsonError::AtOffset(std::move(message),
                               std::span<const std::uint8_t>(begin_, end_), offset);
  error_pending_ = false;
  return false;
}

bool JsonReader::FailAt(std::string_view message) {
  std::size_t p = cur_ < end_ ? offset() + 1 : static_cast<std::size_t>(end_ - begin_);
  return FailAtOffset(std::string(message), p);
}

bool JsonReader::FailAfter(std::string message) {
  return FailAtOffset(std::move(message), offset());
}

bool JsonReader::FailPending(std::string message) {
  error_ = JsonError::WithoutPosition(std::move(message));
  error_pending_ = true;
  return false;
}

// ---- Literals and whitespace.

bool JsonReader::ParseIdent(std::string_view rest) {
  for (char expected : rest) {
    if (cur_ == end_) return FailAfter(std::string(msg::kEofValue));
    std::uint8_t c = *cur_++;
    if (c != static_cast<std::uint8_t>(expected)) return FailAfter(std::string(msg::kExpectedIdent));
  }
  return true;
}

bool JsonReader::ExpectEnd() {
  if (PeekNonWhitespace() >= 0) return FailAt(msg::kTrailingCharacters);
  return true;
}

// ---- Strings.

bool JsonReader::DecodeHex4(std::uint32_t* value) {
  if (end_ - cur_ < 4) {
    cur_ = end_;
    return FailAfter(std::string(msg::kEofString));
  }
  std::uint32_t v = 0;
  bool ok = true;
  for (int i = 0; i < 4; ++i) {
    int h = HexValue(cur_[i]);
    if (h < 0) ok = false;
    v = (v << 4) | static_cast<std::uint32_t>(h < 0 ? 0 : h);
  }
  cur_ += 4;
  if (!ok) return FailAfter(std::string(msg::kInvalidEscape));
  *value = v;
  return true;
}

// The backslash has been consumed.
bool JsonReader::ParseEscape(std::string* buf) {
  if (cur_ == end_) return FailAfter(std::string(msg::kEofString));
  std::uint8_t c = *cur_++;
  switch (c) {
    case '"': buf->push_back('"'); return true;
    case '\\': buf->push_back('\\'); return true;
    case '/': buf->push_back('/'); return true;
    case 'b': buf->push_back('\b'); return true;
    case 'f': buf->push_back('\f'); return true;
    case 'n': buf->push_back('\n'); return true;
    case 'r': buf->push_back('\r'); return true;
    case 't': buf->push_back('\t'); return true;
    case 'u': break;
    default: return FailAfter(std::string(msg::kInvalidEscape));
  }
  std::uint32_t v;
  if (!DecodeHex4(&v)) return false;
  if (v >= 0xDC00 && v <= 0xDFFF) return FailAfter(std::string(msg::kLoneSurrogate));
  if (v >= 0xD800 && v <= 0xDBFF) {
    for (std::uint8_t expected : {std::uint8_t{'\\'}, std::uint8_t{'u'}}) {
      if (cur_ == end_) return FailAfter(std::string(msg::kEofString));
      if (*cur_++ != expected) return FailAfter(std::string(msg::kUnexpectedEndOfHexEscape));
    }
    std::uint32_t w;
    if (!DecodeHex4(&w)) return false;
    if (w < 0xDC00 || w > 0xDFFF) return FailAfter(std::string(msg::kLoneSurrogate));
    v = 0x10000 + ((v - 0xD800) << 10) + (w - 0xDC00);
  }
  AppendUtf8(v, buf);
  return true;
}

bool JsonReader::CheckUtf8(std::string_view decoded) {
  if (check_utf8_ && !IsValidUtf8(decoded)) return FailAfter(std::string(msg::kInvalidUnicode));
  return true;
}

bool JsonReader::ParseString(std::string* dest, std::string_view* view) {
  const std::uint8_t* start = cur_;
  const std::uint8_t* p = ScanStringRun(cur_, end_);
  auto chars = [](const std::uint8_t* a, const std::uint8_t* b) {
    return std::string_view(reinterpret_cast<const char*>(a), static_cast<std::size_t>(b - a));
  };
  if (p < end_ && *p == '"') {
    // No escape: the text is copied at most once, straight from the input.
    cur_ = p + 1;
    std::string_view text = chars(start, p);
    if (dest != nullptr) {
      dest->assign(text);
    } else {
      *view = text;
    }
    return CheckUtf8(text);
  }
  std::string* buf = dest != nullptr ? dest : &scratch_;
  buf->assign(chars(start, p));
  for (;;) {
    cur_ = p;
    if (cur_ == end_) return FailAfter(std::string(msg::kEofString));
    std::uint8_t c = *cur_++;
    if (c == '"') break;
    if (c == '\\') {
      if (!ParseEscape(buf)) return false;
    } else {
      return FailAfter(std::string(msg::kControlCharacter));
    }
    p = ScanStringRun(cur_, end_);
    buf->append(chars(cur_, p));
  }
  if (dest == nullptr) *view = *buf;
  return CheckUtf8(*buf);
}

bool JsonReader::SkipString() {
  for (;;) {
    cur_ = ScanStringRun(cur_, end_);
    if (cur_ == end_) return FailAfter(std::string(msg::kEofString));
    std::uint8_t c = *cur_;
    if (c == '"') {
      ++cur_;
      return true;
    }
    if (c < 0x20) return FailAfter(std::string(msg::kControlCharacter));  // before the byte
    ++cur_;  // backslash
    if (cur_ == end_) return FailAfter(std::string(msg::kEofString));
    c = *cur_++;
    switch (c) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        break;
      case 'u': {
        std::uint32_t ignored;
        if (!DecodeHex4(&ignored)) return false;
        break;
      }
      default:
        return FailAfter(std::string(msg::kInvalidEscape));
    }
  }
}

// ---- Numbers.

bool JsonReader::ScanNumber(Number* out) {
  out->begin = cur_;
  out->integral = true;
  if (*cur_ == '-') ++cur_;
  if (cur_ == end_) return FailAfter(std::string(msg::kInvalidNumber));
  std::uint8_t c = *cur_;
  if (c == '0') {
    ++cur_;
    if (cur_ < end_ && IsDigit(*cur_)) return FailAt(msg::kInvalidNumber);
  } else if (IsDigit(c)) {
    while (cur_ < end_ && IsDigit(*cur_)) ++cur_;
  } else {
    ++cur_;
    return FailAfter(std::string(msg::kInvalidNumber));
  }
  if (cur_ < end_ && *cur_ == '.') {
    out->integral = false;
    ++cur_;
    if (cur_ == end_ || !IsDigit(*cur_)) return FailAt(msg::kInvalidNumber);
    while (cur_ < end_ && IsDigit(*cur_)) ++cur_;
  }
  if (cur_ < end_ && (*cur_ == 'e' || *cur_ == 'E')) {
    out->integral = false;
    ++cur_;
    if (cur_ < end_ && (*cur_ == '+' || *cur_ == '-')) ++cur_;
    if (cur_ == end_) return FailAfter(std::string(msg::kInvalidNumber));
    if (!IsDigit(*cur_)) {
      ++cur_;
      return FailAfter(std::string(msg::kInvalidNumber));
    }
    while (cur_ < end_ && IsDigit(*cur_)) ++cur_;
  }
  out->end = cur_;
  return true;
}

bool JsonReader::NameNumber(const Number& number, std::string* found) {
  const std::uint8_t* p = number.begin;
  bool negative = *p == '-';
  if (negative) ++p;
  if (number.integral) {
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (const std::uint8_t* q = p; q < number.end; ++q) {
      std::uint64_t digit = *q - '0';
      if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        overflow = true;
        break;
      }
      magnitude = magnitude * 10 + digit;
    }
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
    if (!overflow && (!negative || (magnitude >= 1 && magnitude <= kMinMagnitude))) {
      found->append("integer `");
      if (negative) found->push_back('-');
      found->append(std::to_string(magnitude));
      found->push_back('`');
      return true;
    }
  }
  const char* first = reinterpret_cast<const char*>(number.begin);
  const char* last = reinterpret_cast<const char*>(number.end);
  double value = 0;
  std::from_chars_result res = std::from_chars(first, last, value);
  if (res.ec == std::errc::result_out_of_range) {
    // Either too large for a double or so small that it rounds to zero; the decimal exponent
    // of the first significant digit tells which.
    long long exponent = 0;
    const std::uint8_t* q = p;
    bool seen_significant = false;
    long long leading = 0;
    while (q < number.end && IsDigit(*q)) {
      if (*q != '0') seen_significant = true;
      if (seen_significant) ++leading;
      ++q;
    }
    long long position = leading;  // digits before the point, from the first significant one
    if (q < number.end && *q == '.') {
      ++q;
      while (q < number.end && IsDigit(*q)) {
        if (!seen_significant) {
          if (*q != '0') seen_significant = true;
          else --position;
        }
        ++q;
      }
    }
    if (q < number.end && (*q == 'e' || *q == 'E')) {
      ++q;
      bool exp_negative = false;
      if (*q == '+' || *q == '-') exp_negative = *q++ == '-';
      while (q < number.end && IsDigit(*q)) {
        if (exponent < 1000000000) exponent = exponent * 10 + (*q - '0');
        ++q;
      }
      if (exp_negative) exponent = -exponent;
    }
    if (position + exponent > 0) return FailAfter(std::string(msg::kNumberOutOfRange));
    value = negative ? -0.0 : 0.0;
  }
  found->append("floating point `");
  json_internal::AppendShortestDouble(value, found);
  found->push_back('`');
  return true;
}

// ---- Naming a found value.

bool JsonReader::FailInvalidType(std::string_view expectation) {
  int c = PeekNonWhitespace();
  std::string found;
  switch (c) {
    case -1:
      return FailAt(msg::kEofValue);
    case 'n':
      ++cur_;
      if (!ParseIdent("ull")) return false;
      found = "null";
      break;
    case 't':
      ++cur_;
      if (!ParseIdent("rue")) return false;
      found = "boolean `true`";
      break;
    case 'f':
      ++cur_;
      if (!ParseIdent("alse")) return false;
      found = "boolean `false`";
      break;
    case '"': {
      ++cur_;
      std::string_view text;
      if (!ParseString(nullptr, &text)) return false;
      found = "string ";
      AppendReprQuoted(found, text);
      break;
    }
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    default: {
      if (c != '-' && !IsDigit(static_cast<std::uint8_t>(c))) return FailAt(msg::kExpectedValue);
      Number number;
      if (!ScanNumber(&number) || !NameNumber(number, &found)) return false;
      break;
    }
  }
  std::string message = "invalid type: ";
  message += found;
  message += ", expected ";
  message += expectation;
  return FailAfter(std::move(message));
}

// ---- Value readers.

bool JsonReader::ReadText(std::string* out) {
  int c = PeekNonWhitespace();
  if (c == '"') {
    ++cur_;
    return ParseString(out, nullptr);
  }
  if (c < 0) return FailAt(msg::kEofValue);
  return FailInvalidType("a string");
}

bool JsonReader::ReadTextView(std::string_view expectation, std::string_view* out) {
  int c = PeekNonWhitespace();
  if (c == '"') {
    ++cur_;
    return ParseString(nullptr, out);
  }
  if (c < 0) return FailAt(msg::kEofValue);
  return FailInvalidType(expectation);
}

bool JsonReader::ReadBool(bool* out) {
  int c = PeekNonWhitespace();
  if (c == 't') {
    ++cur_;
    *out = true;
    return ParseIdent("rue");
  }
  if (c == 'f') {
    ++cur_;
    *out = false;
    return ParseIdent("alse");
  }
  if (c < 0) return FailAt(msg::kEofValue);
  return FailInvalidType("a boolean");
}

bool JsonReader::ConsumeNull(bool* is_null) {
  *is_null = PeekNonWhitespace() == 'n';
  if (!*is_null) return true;
  ++cur_;
  return ParseIdent("ull");
}

bool JsonReader::ReadVariantName(std::span<const std::string_view> names, std::size_t* index) {
  int c = PeekNonWhitespace();
  if (c < 0) return FailAt(msg::kEofValue);
  if (c != '"') return FailInvalidType("variant identifier");
  ++cur_;
  std::string_view name;
  if (!ParseString(nullptr, &name)) return false;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) {
      *index = i;
      return true;
    }
  }
  return FailAfter(UnknownVariantMessage(name, names));
}

bool JsonReader::ReadEnum(std::span<const std::string_view> names, std::size_t* index) {
  int c = PeekNonWhitespace();
  if (c == '"') return ReadVariantName(names, index);
  if (c < 0) return FailAt(msg::kEofValue);
  if (c != '{') return FailAt(msg::kExpectedValue);
  if (!EnterContainer()) return false;
  ++cur_;
  if (!ReadVariantName(names, index)) return false;
  if (!ExpectColon()) return false;
  c = PeekNonWhitespace();
  if (c == 'n') {
    ++cur_;
    if (!ParseIdent("ull")) return false;
  } else if (c < 0) {
    return FailAt(msg::kEofValue);
  } else {
    return FailInvalidType("unit");
  }
  LeaveContainer();
  c = PeekNonWhitespace();
  if (c == '}') {
    ++cur_;
    return true;
  }
  if (c < 0) return FailAt(msg::kEofObject);
  return FailAfter(std::string(msg::kExpectedValue));
}

bool JsonReader::ReadTextList(std::vector<std::string>* out) {
  int c = PeekNonWhitespace();
  if (c < 0) return FailAt(msg::kEofValue);
  if (c != '[') return FailInvalidType("a sequence");
  if (!EnterContainer()) return false;
  ++cur_;
  out->clear();
  bool first = true;
  bool ok = true;
  for (;;) {
    bool has = false;
    if (!NextElement(&first, &has)) {
      ok = false;
      break;
    }
    if (!has) break;
    out->emplace_back();
    if (!ReadText(&out->back())) {
      ok = false;
      break;
    }
  }
  return FinishRecord(/*is_object=*/false, ok);
}

// ---- Skipping.

bool JsonReader::SkipValue() {
  skip_stack_.clear();
  for (;;) {
    // A value is expected here.
    int c = PeekNonWhitespace();
    bool opened = false;
    switch (c) {
      case -1:
        return FailAt(msg::kEofValue);
      case 'n':
        ++cur_;
        if (!ParseIdent("ull")) return false;
        break;
      case 't':
        ++cur_;
        if (!ParseIdent("rue")) return false;
        break;
      case 'f':
        ++cur_;
        if (!ParseIdent("alse")) return false;
        break;
      case '"':
        ++cur_;
        if (!SkipString()) return false;
        break;
      case '[':
      case '{':
        ++cur_;
        skip_stack_.push_back(static_cast<char>(c));
        opened = true;
        break;
      default: {
        if (c != '-' && !IsDigit(static_cast<std::uint8_t>(c))) {
          return FailAt(msg::kExpectedValue);
        }
        Number number;
        if (!ScanNumber(&number)) return false;
        break;
      }
    }
    // After an opening bracket: an empty container, or the first entry.
    bool need_value = false;
    if (opened) {
      c = PeekNonWhitespace();
      if (skip_stack_.back() == '[') {
        if (c == ']') {
          ++cur_;
          skip_stack_.pop_back();
        } else if (c < 0) {
          return FailAt(msg::kEofList);
        } else {
          need_value = true;
        }
      } else {
        if (c == '}') {
          ++cur_;
          skip_stack_.pop_back();
        } else if (c < 0) {
          return FailAt(msg::kEofObject);
        } else if (c != '"') {
          return FailAt(msg::kKeyMustBeString);
        } else {
          ++cur_;
          if (!SkipString() || !ExpectColon()) return false;
          need_value = true;
        }
      }
    }
    // After a complete value: close containers until one wants a further entry.
    while (!need_value) {
      if (skip_stack_.empty()) return true;
      c = PeekNonWhitespace();
      if (skip_stack_.back() == '[') {
        if (c == ',') {
          ++cur_;
          need_value = true;
        } else if (c == ']') {
          ++cur_;
          skip_stack_.pop_back();
        } else if (c < 0) {
          return FailAt(msg::kEofList);
        } else {
          return FailAt(msg::kExpectedListCommaOrEnd);
        }
      } else {
        if (c == ',') {
          ++cur_;
          c = PeekNonWhitespace();
          if (c < 0) return FailAt(msg::kEofObject);
          if (c != '"') return FailAt(msg::kKeyMustBeString);
          ++cur_;
          if (!SkipString() || !ExpectColon()) return false;
          need_value = true;
        } else if (c == '}') {
          ++cur_;
          skip_stack_.pop_back();
        } else if (c < 0) {
          return FailAt(msg::kEofObject);
        } else {
          return FailAt(msg::kExpectedObjectCommaOrEnd);
        }
      }
    }
  }
}

// ---- Record forms.

bool JsonReader::BeginRecord(std::string_view record_name, bool* is_object) {
  int c = PeekNonWhitespace();
  if (c == '{' || c == '[') {
    if (!EnterContainer()) return false;
    ++cur_;
    *is_object = c == '{';
    return true;
  }
  if (c < 0) return FailAt(msg::kEofValue);
  std::string expectation = "struct ";
  expectation += record_name;
  return FailInvalidType(expectation);
}

bool JsonReader::CloseObject() {
  int c = PeekNonWhitespace();
  if (c == '}') {
    ++cur_;
    return true;
  }
  if (c == ',') return FailAt(msg::kTrailingComma);
  if (c < 0) return FailAt(msg::kEofObject);
  return FailAt(msg::kTrailingCharacters);
}

bool JsonReader::CloseArray() {
  int c = PeekNonWhitespace();
  if (c == ']') {
    ++cur_;
    return true;
  }
  if (c == ',') {
    ++cur_;
    if (PeekNonWhitespace() == ']') return FailAt(msg::kTrailingComma);
    return FailAt(msg::kTrailingCharacters);
  }
  if (c < 0) return FailAt(msg::kEofList);
  return FailAt(msg::kTrailingCharacters);
}

bool JsonReader::FinishRecord(bool is_object, bool form_ok) {
  LeaveContainer();
  if (form_ok) return is_object ? CloseObject() : CloseArray();
  // The form's error wins; the closing step still runs for the position it gives.
  JsonError saved = std::move(error_);
  bool pending = error_pending_;
  (void)(is_object ? CloseObject() : CloseArray());
  error_ = std::move(saved);
  error_pending_ = false;
  if (pending) {
    error_ = JsonError::AtOffset(error_.message(), std::span<const std::uint8_t>(begin_, end_),
                                 offset());
  }
  return false;
}

bool JsonReader::NextKey(bool first, std::string_view* key, bool* done) {
  int c = PeekNonWhitespace();
  *done = false;
  if (c == '}') {
    *done = true;
    return true;
  }
  if (!first) {
    if (c == ',') {
      ++cur_;
      c = PeekNonWhitespace();
      if (c == '}') return FailAt(msg::kTrailingComma);
      if (c < 0) return FailAt(msg::kEofValue);
      if (c != '"') return FailAt(msg::kKeyMustBeString);
    } else if (c < 0) {
      return FailAt(msg::kEofObject);
    } else {
      return FailAt(msg::kExpectedObjectCommaOrEnd);
    }
  } else if (c < 0) {
    return FailAt(msg::kEofObject);
  } else if (c != '"') {
    return FailAt(msg::kKeyMustBeString);
  }
  ++cur_;
  return ParseString(nullptr, key);
}

bool JsonReader::ExpectColon() {
  int c = PeekNonWhitespace();
  if (c == ':') {
    ++cur_;
    return true;
  }
  if (c < 0) return FailAt(msg::kEofObject);
  return FailAt(msg::kExpectedColon);
}

bool JsonReader::NextElement(bool* first, bool* has) {
  int c = PeekNonWhitespace();
  *has = false;
  if (c == ']') return true;
  if (c < 0) return FailAt(msg::kEofList);
  if (*first) {
    *first = false;
    *has = true;
    return true;
  }
  if (c != ',') return FailAt(msg::kExpectedListCommaOrEnd);
  ++cur_;
  c = PeekNonWhitespace();
  if (c == ']') return FailAt(msg::kTrailingComma);
  if (c < 0) return FailAt(msg::kEofValue);
  *has = true;
  return true;
}

}  // namespace qiv

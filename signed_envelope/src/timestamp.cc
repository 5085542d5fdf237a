#include "qiv/signed_envelope/timestamp.h"

#include <cstddef>

#include "qiv/primitives/unicode.h"

namespace qiv::envelope {
namespace {

constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kSecondsPerDay = 86'400;

bool IsLeapYear(std::int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int DaysInMonth(std::int64_t y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Floor division, for negative day and second counts.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// Days from 1970-01-01 to the proleptic Gregorian date y-m-d, for any year an int32 holds (the
// standard library's calendar stops at +-32767). Counts in 400-year eras of 146097 days, with
// years starting in March so that the leap day ends the year.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = FloorDiv(y, 400);
  const std::int64_t yoe = y - era * 400;                                    // [0, 399]
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // [0, 365]
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;            // [0, 146096]
  return era * 146097 + doe - 719468;
}

struct CivilDate {
  std::int64_t year;
  int month;
  int day;
};

CivilDate CivilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = FloorDiv(days, 146097);
  const std::int64_t doe = days - era * 146097;                                    // [0, 146096]
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
  const std::int64_t mp = (5 * doy + 2) / 153;                                     // [0, 11]
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2), month, day};
}

bool IsAsciiDigit(unsigned char c) { return c >= '0' && c <= '9'; }

using Error = TimestampErrorKind;

// Walks the text left to right; each Read* step consumes one part of the form or names the
// first failure met in it.
class TimestampReader {
 public:
  explicit TimestampReader(std::string_view text) : text_(text) {}

  Result<UtcTimestamp, TimestampError> Read() {
    std::int64_t year = 0;
    int month = 0, day = 0, hour = 0, minute = 0, second = 0;
    std::uint32_t nanos = 0;
    std::int64_t offset_seconds = 0;
    QIV_RETURN_IF_ERROR(Check(ReadYear(year)));
    QIV_RETURN_IF_ERROR(Check(ReadChar('-')));
    QIV_RETURN_IF_ERROR(Check(ReadField(1, 12, month)));
    QIV_RETURN_IF_ERROR(Check(ReadChar('-')));
    QIV_RETURN_IF_ERROR(Check(ReadField(1, 31, day)));
    QIV_RETURN_IF_ERROR(Check(ReadSeparator()));
    QIV_RETURN_IF_ERROR(Check(ReadField(0, 23, hour)));
    QIV_RETURN_IF_ERROR(Check(ReadChar(':')));
    QIV_RETURN_IF_ERROR(Check(ReadField(0, 59, minute)));
    QIV_RETURN_IF_ERROR(Check(ReadChar(':')));
    QIV_RETURN_IF_ERROR(Check(ReadField(0, 60, second)));
    QIV_RETURN_IF_ERROR(Check(ReadFraction(nanos)));
    QIV_RETURN_IF_ERROR(Check(ReadZone(offset_seconds)));
    SkipWhiteSpace();
    if (pos_ != text_.size()) return Fail(Error::kTrailingInput);

    // The whole text is read: now the date, then the offset, then the shift to UTC.
    if (year < UtcTimestamp::kMinYear || year > UtcTimestamp::kMaxYear ||
        day > DaysInMonth(year, month)) {
      return Fail(Error::kOutOfRange);
    }
    if (offset_seconds <= -kSecondsPerDay || offset_seconds >= kSecondsPerDay) {
      return Fail(Error::kOutOfRange);
    }
    // A leap second is second 59 of its minute with the count raised; offsets are whole
    // minutes, so the shift keeps it in second 59 of the minute it lands in.
    const bool leap = second == 60;
    if (leap) second = 59;
    const std::int64_t local =
        DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
    const std::int64_t utc = local - offset_seconds;
    const std::int64_t days = FloorDiv(utc, kSecondsPerDay);
    const std::int64_t second_of_day = utc - days * kSecondsPerDay;
    const CivilDate date = CivilFromDays(days);
    if (date.year < UtcTimestamp::kMinYear || date.year > UtcTimestamp::kMaxYear) {
      return Fail(Error::kNoMatchingInstant);
    }
    const int sec = static_cast<int>(second_of_day % 60);
    return *UtcTimestamp::FromCivil(static_cast<std::int32_t>(date.year), date.month, date.day,
                                    static_cast<int>(second_of_day / 3600),
                                    static_cast<int>(second_of_day / 60 % 60),
                                    leap ? 60 : sec, nanos);
  }

 private:
  // A step's outcome: nullopt when the part was read.
  using Step = std::optional<Error>;

  static Result<void, TimestampError> Check(Step step) {
    if (step) return Err(TimestampError(*step));
    return {};
  }
  static ErrValue<TimestampError> Fail(Error kind) { return Err(TimestampError(kind)); }

  bool AtEnd() const { return pos_ >= text_.size(); }
  unsigned char Peek() const { return static_cast<unsigned char>(text_[pos_]); }
  // The failure of a position that does not hold what the part needs.
  Error Unexpected() const { return AtEnd() ? Error::kPrematureEnd : Error::kInvalidCharacters; }

  void SkipWhiteSpace() {
    while (!AtEnd()) {
      if (Peek() < 0x80) {
        if (!IsUnicodeWhiteSpace(Peek())) return;
        ++pos_;
        continue;
      }
      char32_t c;
      const std::size_t len = DecodeUtf8Char(text_, pos_, c);
      if (len == 0 || !IsUnicodeWhiteSpace(c)) return;
      pos_ += len;
    }
  }

  // 1 to `max_digits` ASCII digits; a further digit stays in the text.
  Step ReadDigits(int max_digits, std::int64_t& value) {
    if (AtEnd() || !IsAsciiDigit(Peek())) return Unexpected();
    value = 0;
    for (int n = 0; n < max_digits && !AtEnd() && IsAsciiDigit(Peek()); ++n) {
      value = value * 10 + (Peek() - '0');
      ++pos_;
    }
    return std::nullopt;
  }

  // White space, then 1-4 digits, or "+" or "-" and any number of digits.
  Step ReadYear(std::int64_t& year) {
    SkipWhiteSpace();
    if (AtEnd()) return Error::kPrematureEnd;
    const unsigned char c = Peek();
    if (c != '+' && c != '-') return ReadDigits(4, year);
    ++pos_;
    if (AtEnd() || !IsAsciiDigit(Peek())) return Unexpected();
    std::int64_t magnitude = 0;
    while (!AtEnd() && IsAsciiDigit(Peek())) {
      magnitude = magnitude * 10 + (Peek() - '0');
      // Too large to hold as a year at all; stop before the count itself overflows.
      if (magnitude > INT32_MAX) return Error::kOutOfRange;
      ++pos_;
    }
    year = c == '-' ? -magnitude : magnitude;
    return std::nullopt;
  }

  // White space, then `c`.
  Step ReadChar(char c) {
    SkipWhiteSpace();
    if (AtEnd() || Peek() != static_cast<unsigned char>(c)) return Unexpected();
    ++pos_;
    return std::nullopt;
  }

  // White space, then 1 or 2 digits whose value lies in [lo, hi].
  Step ReadField(int lo, int hi, int& out) {
    SkipWhiteSpace();
    std::int64_t value = 0;
    if (Step step = ReadDigits(2, value)) return step;
    if (value < lo || value > hi) return Error::kOutOfRange;
    out = static_cast<int>(value);
    return std::nullopt;
  }

  // Exactly one "T", "t" or space, directly after the day.
  Step ReadSeparator() {
    if (AtEnd()) return Error::kPrematureEnd;
    const unsigned char c = Peek();
    if (c != 'T' && c != 't' && c != ' ') return Error::kInvalidCharacters;
    ++pos_;
    return std::nullopt;
  }

  // Optional: "." directly after the second, then one or more digits, of which the first nine
  // count; the rest are skipped without rounding.
  Step ReadFraction(std::uint32_t& nanos) {
    if (AtEnd() || Peek() != '.') return std::nullopt;
    ++pos_;
    if (AtEnd() || !IsAsciiDigit(Peek())) return Unexpected();
    std::uint32_t scale = 100'000'000;
    nanos = 0;
    while (!AtEnd() && IsAsciiDigit(Peek())) {
      nanos += static_cast<std::uint32_t>(Peek() - '0') * scale;
      scale /= 10;
      ++pos_;
    }
    return std::nullopt;
  }

  // Two ASCII digits of an offset's hours or minutes. A first digit above `max_first` is out of
  // range.
  Step ReadTwoDigits(unsigned char max_first, int& out) {
    if (text_.size() - pos_ < 2) return Error::kPrematureEnd;
    const auto d0 = static_cast<unsigned char>(text_[pos_]);
    const auto d1 = static_cast<unsigned char>(text_[pos_ + 1]);
    if (!IsAsciiDigit(d0) || !IsAsciiDigit(d1)) return Error::kInvalidCharacters;
    if (d0 > max_first) return Error::kOutOfRange;
    out = (d0 - '0') * 10 + (d1 - '0');
    pos_ += 2;
    return std::nullopt;
  }

  // White space, then "Z", "z", "UTC" in any case, or a signed offset of hours and minutes.
  Step ReadZone(std::int64_t& offset_seconds) {
    SkipWhiteSpace();
    if (AtEnd()) return Error::kPrematureEnd;
    const unsigned char c = Peek();
    if (c == 'Z' || c == 'z') {
      ++pos_;
      return std::nullopt;
    }
    if (text_.size() - pos_ >= 3 && (c | 0x20) == 'u' && (text_[pos_ + 1] | 0x20) == 't' &&
        (text_[pos_ + 2] | 0x20) == 'c') {
      pos_ += 3;
      return std::nullopt;
    }
    int sign;
    if (c == '+' || c == '-') {
      sign = c == '+' ? 1 : -1;
      pos_ += 1;
    } else if (text_.substr(pos_, 3) == "\u2212") {  // MINUS SIGN
      sign = -1;
      pos_ += 3;
    } else {
      return Error::kInvalidCharacters;
    }
    int hours = 0, minutes = 0;
    if (Step step = ReadTwoDigits('9', hours)) return step;
    // Any run, possibly empty, of ':' and white space.
    for (;;) {
      const std::size_t before = pos_;
      if (!AtEnd() && Peek() == ':') ++pos_;
      SkipWhiteSpace();
      if (pos_ == before) break;
    }
    if (Step step = ReadTwoDigits('5', minutes)) return step;
    offset_seconds = sign * (hours * 3600 + minutes * 60);
    return std::nullopt;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

void AppendDigits(std::string& out, std::uint64_t value, int min_width) {
  char buf[24];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = n; i < min_width; ++i) out.push_back('0');
  while (n > 0) out.push_back(buf[--n]);
}

}  // namespace

UtcTimestamp::UtcTimestamp(std::int32_t year, int month, int day, std::uint32_t second_of_day,
                           std::uint32_t nanosecond)
    : year_(year),
      month_(static_cast<std::uint8_t>(month)),
      day_(static_cast<std::uint8_t>(day)),
      second_of_day_(second_of_day),
      nanosecond_(nanosecond) {}

std::optional<UtcTimestamp> UtcTimestamp::FromCivil(std::int32_t year, int month, int day,
                                                    int hour, int minute, int second,
                                                    std::uint32_t nanosecond) {
  if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 60 || nanosecond >= kNanosPerSecond) {
    return std::nullopt;
  }
  if (second == 60) {
    second = 59;
    nanosecond += kNanosPerSecond;
  }
  return UtcTimestamp(year, month, day,
                      static_cast<std::uint32_t>(hour * 3600 + minute * 60 + second), nanosecond);
}

std::int64_t UtcTimestamp::days_since_epoch() const { return DaysFromCivil(year_, month_, day_); }

std::string_view TimestampError::message() const {
  switch (kind_) {
    case TimestampErrorKind::kInvalidCharacters: return "input contains invalid characters";
    case TimestampErrorKind::kPrematureEnd: return "premature end of input";
    case TimestampErrorKind::kOutOfRange: return "input is out of range";
    case TimestampErrorKind::kTrailingInput: return "trailing input";
    case TimestampErrorKind::kNoMatchingInstant: return "no possible date and time matching input";
  }
  return "input contains invalid characters";
}

Result<UtcTimestamp, TimestampError> ParseTimestamp(std::string_view text) {
  return TimestampReader(text).Read();
}

void AppendTimestamp(std::string& out, const UtcTimestamp& ts) {
  const std::int64_t year = ts.year();
  if (year >= 0 && year <= 9999) {
    AppendDigits(out, static_cast<std::uint64_t>(year), 4);
  } else {
    out.push_back(year < 0 ? '-' : '+');
    AppendDigits(out, static_cast<std::uint64_t>(year < 0 ? -year : year), 4);
  }
  out.push_back('-');
  AppendDigits(out, ts.month(), 2);
  out.push_back('-');
  AppendDigits(out, ts.day(), 2);
  out.push_back('T');
  AppendDigits(out, ts.hour(), 2);
  out.push_back(':');
  AppendDigits(out, ts.minute(), 2);
  out.push_back(':');
  AppendDigits(out, ts.is_leap_second() ? 60 : ts.second(), 2);
  const std::uint32_t fraction = ts.nanosecond() % kNanosPerSecond;
  if (fraction != 0) {
    out.push_back('.');
    if (fraction % 1'000'000 == 0) {
      AppendDigits(out, fraction / 1'000'000, 3);
    } else if (fraction % 1'000 == 0) {
      AppendDigits(out, fraction / 1'000, 6);
    } else {
      AppendDigits(out, fraction, 9);
    }
  }
  out.push_back('Z');
}

std::string TimestampText(const UtcTimestamp& ts) {
  std::string out;
  AppendTimestamp(out, ts);
  return out;
}

}  // namespace qiv::envelope

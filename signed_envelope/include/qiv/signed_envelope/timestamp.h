// UtcTimestamp: a UTC instant to the nanosecond, as an envelope's opened_at and closed_at hold
// it, with its text reader (a relaxed RFC 3339 form) and writer.
//
// An instant is a date of the proleptic Gregorian calendar (years -262143 to 262142), a second
// of the day (0 to 86399) and a nanosecond count. A leap second is held as second 59 of its
// minute with the count raised by 1,000,000,000; it never equals second 59 itself. No offset is
// kept: a text read with an offset is stored shifted to UTC.
//
//   auto ts = qiv::envelope::ParseTimestamp("2024-03-05 07:08:09.5+01:00");
//   if (!ts.ok()) return Fail(ts.error().message());   // e.g. "input is out of range"
//   std::string text;
//   qiv::envelope::AppendTimestamp(text, *ts);         // "2024-03-05T06:08:09.500Z"
//
// UtcTimestamp is an immutable value; every function here is pure and thread-safe.
#ifndef QIV_SIGNED_ENVELOPE_TIMESTAMP_H_
#define QIV_SIGNED_ENVELOPE_TIMESTAMP_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "qiv/primitives/result.h"

namespace qiv::envelope {

class UtcTimestamp {
 public:
  static constexpr std::int32_t kMinYear = -262143;
  static constexpr std::int32_t kMaxYear = 262142;

  // 1970-01-01T00:00:00Z.
  UtcTimestamp() = default;

  // The instant of the given civil UTC fields, or nullopt when they do not name one: the date
  // must exist and lie within the years above, hour 0-23, minute 0-59, second 0-60 (60 is a
  // leap second, allowed in every minute), nanosecond 0-999,999,999 (the fraction of the
  // second, of the leap second too).
  static std::optional<UtcTimestamp> FromCivil(std::int32_t year, int month, int day, int hour,
                                               int minute, int second,
                                               std::uint32_t nanosecond);

  std::int32_t year() const { return year_; }
  int month() const { return month_; }  // 1-12
  int day() const { return day_; }      // 1-31
  // 0-86399; a leap second counts as the second 59 of its minute.
  std::uint32_t second_of_day() const { return second_of_day_; }
  int hour() const { return static_cast<int>(second_of_day_ / 3600); }
  int minute() const { return static_cast<int>(second_of_day_ / 60 % 60); }
  // 0-59: a leap second shows 59.
  int second() const { return static_cast<int>(second_of_day_ % 60); }
  // 0-999,999,999, or 1,000,000,000-1,999,999,999 for a leap second.
  std::uint32_t nanosecond() const { return nanosecond_; }
  bool is_leap_second() const { return nanosecond_ >= 1'000'000'000u; }

  // Days from 1970-01-01 to this date (negative before it).
  std::int64_t days_since_epoch() const;

  // Equal when date, second of the day and nanosecond count are all equal.
  friend bool operator==(const UtcTimestamp&, const UtcTimestamp&) = default;

 private:
  UtcTimestamp(std::int32_t year, int month, int day, std::uint32_t second_of_day,
               std::uint32_t nanosecond);

  std::int32_t year_ = 1970;
  std::uint8_t month_ = 1;
  std::uint8_t day_ = 1;
  std::uint32_t second_of_day_ = 0;
  std::uint32_t nanosecond_ = 0;
};

// Why a timestamp text was refused. Each kind has one fixed message.
enum class TimestampErrorKind {
  kInvalidCharacters,   // "input contains invalid characters"
  kPrematureEnd,        // "premature end of input"
  kOutOfRange,          // "input is out of range"
  kTrailingInput,       // "trailing input"
  kNoMatchingInstant,   // "no possible date and time matching input"
};

class TimestampError {
 public:
  explicit TimestampError(TimestampErrorKind kind) : kind_(kind) {}

  TimestampErrorKind kind() const { return kind_; }
  // The message as a JSON reading error shows it, before its " at line <l> column <c>".
  std::string_view message() const;

  friend bool operator==(const TimestampError&, const TimestampError&) = default;

 private:
  TimestampErrorKind kind_;
};

// What a JSON reader names as expected when a timestamp's value is not a string:
// "invalid type: <found>, expected " followed by this text.
inline constexpr std::string_view kTimestampExpected =
    "an RFC 3339 formatted date and time string";

// Reads `text` (the decoded content of a JSON string) in the relaxed RFC 3339 form: Unicode
// white space between the parts, 1-4 digit or signed years, 1-2 digit fields, "T", "t" or a
// space between date and time, an optional fraction of any length (nine digits kept, the rest
// dropped without rounding), and a zone of "Z", "z", "UTC" in any case, or a "+", "-" or U+2212
// offset with two hour and two minute digits separated by any run of ':' and white space.
// The error carries no position: a JSON reader reports it where it stands, after the string.
Result<UtcTimestamp, TimestampError> ParseTimestamp(std::string_view text);

// Appends the RFC 3339 text of `ts`: "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]Z", a year
// outside 0-9999 with its sign and at least four digits, a leap second as second 60, the
// fraction only when non-zero, in the fewest of 3, 6 or 9 digits that hold it exactly.
void AppendTimestamp(std::string& out, const UtcTimestamp& ts);
std::string TimestampText(const UtcTimestamp& ts);

}  // namespace qiv::envelope

#endif  // QIV_SIGNED_ENVELOPE_TIMESTAMP_H_

#include "qiv/signed_envelope/timestamp.h"

#include <gtest/gtest.h>

#include <string>

namespace qiv::envelope {
namespace {

std::string Reformat(std::string_view text) {
  auto ts = ParseTimestamp(text);
  if (!ts.ok()) return "error: " + std::string(ts.error().message());
  return TimestampText(*ts);
}

struct ReadCase {
  std::string input;
  std::string written;  // the text written back, or "error: <message>"
};

TEST(ParseTimestamp, ReadsTheRelaxedFormAndWritesItBackNormalised) {
  const ReadCase cases[] = {
      {"2024-03-05T07:08:09Z", "2024-03-05T07:08:09Z"},
      {"2024-03-05 07:08:09.5+01:00", "2024-03-05T06:08:09.500Z"},
      {"2024-03-05t07:08:09.000001z", "2024-03-05T07:08:09.000001Z"},
      {"2024-03-05T07:08:09.1234567891Z", "2024-03-05T07:08:09.123456789Z"},
      {"2024-03-05T07:08:09.999999999999Z", "2024-03-05T07:08:09.999999999Z"},  // no rounding
      {"2024-03-05T07:08:09.000Z", "2024-03-05T07:08:09Z"},
      {"2024-03-05T07:08:09.12Z", "2024-03-05T07:08:09.120Z"},
      {"2024-03-05T07:08:09.1234Z", "2024-03-05T07:08:09.123400Z"},
      {"2024-03-05T07:08:09.0000001Z", "2024-03-05T07:08:09.000000100Z"},
      {" 2024-3-5T7:8:9 utc ", "2024-03-05T07:08:09Z"},
      {"2024-03-05T07:08:09uTc", "2024-03-05T07:08:09Z"},
      {"2024 - 03 - 05T 07 : 08 : 09 Z", "2024-03-05T07:08:09Z"},
      {"2024-03-05  07:08:09Z", "2024-03-05T07:08:09Z"},  // the separator, then white space
      // Unicode white space: U+00A0, U+3000, U+2029, U+0085.
      {"\xc2\xa0" "2024-03-05T07:08:09\xe3\x80\x80Z\xe2\x80\xa9\xc2\x85", "2024-03-05T07:08:09Z"},
      {"2024-03-05T00:30:00-01:00", "2024-03-05T01:30:00Z"},
      {"2024-03-05T00:30:00\xe2\x88\x92" "01:00", "2024-03-05T01:30:00Z"},  // U+2212
      {"2024-03-05T07:08:09+00:00", "2024-03-05T07:08:09Z"},
      {"2024-03-05T07:08:09-00:00", "2024-03-05T07:08:09Z"},
      {"2024-03-05T12:00:00+0530", "2024-03-05T06:30:00Z"},
      {"2024-03-05T12:00:00+05 30", "2024-03-05T06:30:00Z"},
      {"2024-03-05T12:00:00+05 : 30", "2024-03-05T06:30:00Z"},
      {"2024-03-05T12:00:00+05::30", "2024-03-05T06:30:00Z"},
      {"2024-03-05T12:00:00-23:59", "2024-03-06T11:59:00Z"},
      // Offsets carry the instant across days, months and years.
      {"2024-03-01T00:30:00+01:00", "2024-02-29T23:30:00Z"},
      {"2023-03-01T00:30:00+01:00", "2023-02-28T23:30:00Z"},
      {"2024-12-31T23:30:00-01:00", "2025-01-01T00:30:00Z"},
      {"2000-01-01T00:00:00+00:01", "1999-12-31T23:59:00Z"},
      // Short and signed years are the number written.
      {"24-03-05T00:00:00Z", "0024-03-05T00:00:00Z"},
      {"0-01-01T00:00:00Z", "0000-01-01T00:00:00Z"},
      {"+10000-01-01T00:00:00Z", "+10000-01-01T00:00:00Z"},
      {"-0001-12-31T00:00:00Z", "-0001-12-31T00:00:00Z"},
      {"-1-01-01T00:00:00Z", "-0001-01-01T00:00:00Z"},
      {"+2024-03-05T07:08:09Z", "2024-03-05T07:08:09Z"},
      {"+0000000002024-03-05T07:08:09Z", "2024-03-05T07:08:09Z"},
      {"-0004-02-29T00:00:00Z", "-0004-02-29T00:00:00Z"},  // leap year before year 0
      {"0000-01-01T00:30:00+01:00", "-0001-12-31T23:30:00Z"},
      // Leap seconds, in any minute, kept through a shift.
      {"2016-12-31T23:59:60Z", "2016-12-31T23:59:60Z"},
      {"2024-03-05T12:34:60.25Z", "2024-03-05T12:34:60.250Z"},
      {"2024-03-05T12:34:60.999999999Z", "2024-03-05T12:34:60.999999999Z"},
      {"2017-01-01T00:59:60+01:00", "2016-12-31T23:59:60Z"},
      // Range limits.
      {"-262143-01-01T00:00:00Z", "-262143-01-01T00:00:00Z"},
      {"+262142-12-31T23:59:59.999999999Z", "+262142-12-31T23:59:59.999999999Z"},
      {"+262142-12-31T23:59:60Z", "+262142-12-31T23:59:60Z"},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(Reformat(c.input), c.written);
    // What is written reads back as the same instant and the same text.
    auto first = ParseTimestamp(c.input);
    ASSERT_TRUE(first.ok());
    auto again = ParseTimestamp(c.written);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, *first);
    EXPECT_EQ(TimestampText(*again), c.written);
  }
}

struct ErrorCase {
  std::string input;
  TimestampErrorKind kind;
};

TEST(ParseTimestamp, RefusesWithTheFirstFailureMet) {
  using K = TimestampErrorKind;
  const ErrorCase cases[] = {
      // Missing text.
      {"", K::kPrematureEnd},
      {"   ", K::kPrematureEnd},
      {"2024-03-05", K::kPrematureEnd},
      {"2024-03-05T07:08:09", K::kPrematureEnd},
      {"2024-03-05T07:08:09 ", K::kPrematureEnd},
      {"2024-03-05T07:08:09.", K::kPrematureEnd},
      {"2024-03-05T07:08:", K::kPrematureEnd},
      {"+", K::kPrematureEnd},
      {"2024-03-05T07:08:09+", K::kPrematureEnd},
      {"2024-03-05T07:08:09+0", K::kPrematureEnd},
      {"2024-03-05T07:08:09+05", K::kPrematureEnd},
      {"2024-03-05T07:08:09+05:", K::kPrematureEnd},
      {"2024-03-05T07:08:09+05:3", K::kPrematureEnd},
      // A character other than the one the part needs.
      {"x2024-03-05T07:08:09Z", K::kInvalidCharacters},
      {"2024/03/05T07:08:09Z", K::kInvalidCharacters},
      {"12345-01-01T00:00:00Z", K::kInvalidCharacters},  // a fifth digit fails the hyphen
      {"2024-03-123T07:08:09Z", K::kInvalidCharacters},  // a third digit fails the separator
      {"2024-003-05T07:08:09Z", K::kOutOfRange},          // month "00", then the "3" is unread
      {"2024-03-05 T07:08:09Z", K::kInvalidCharacters},
      {"2024-03-05x07:08:09Z", K::kInvalidCharacters},
      {"2024-03-05\t07:08:09Z", K::kInvalidCharacters},  // only a plain space separates
      {"2024-03-05T07:08:09 .5Z", K::kInvalidCharacters},
      {"2024-03-05T07:08:09.Z", K::kInvalidCharacters},
      {"2024-03-05T07:08:090Z", K::kInvalidCharacters},
      {"2024-03-05T07:08:09GMT", K::kInvalidCharacters},
      {"2024-03-05T07:08:09UT", K::kInvalidCharacters},
      {"2024-03-05T07:08:09+ 05:30", K::kInvalidCharacters},
      {"2024-03-05T07:08:09+5:30", K::kInvalidCharacters},
      {"2024-03-05T07:08:09+05:3x", K::kInvalidCharacters},
      {"2024-03-05T07:08:09+05-30", K::kInvalidCharacters},
      {"\xe2\x88\x92" "2024-03-05T07:08:09Z", K::kInvalidCharacters},  // U+2212 only in offsets
      {"2024-03-05T07:08:09\xff", K::kInvalidCharacters},
      // A value outside its range, as soon as it is read.
      {"2024-13-01T00:00:00Z", K::kOutOfRange},
      {"2024-00-01T00:00:00Z", K::kOutOfRange},
      {"2024-03-32T00:00:00Z", K::kOutOfRange},
      {"2024-03-00T00:00:00Z", K::kOutOfRange},
      {"2024-03-05T24:00:00Z", K::kOutOfRange},
      {"2024-03-05T07:60:00Z", K::kOutOfRange},
      {"2024-03-05T07:08:61Z", K::kOutOfRange},
      {"2024-03-05T07:08:09+05:60", K::kOutOfRange},
      {"2024-13-01T00:00:00Zjunk", K::kOutOfRange},  // before the end is looked at
      {"+99999999999-01-01T00:00:00Z", K::kOutOfRange},
      // After the text: the end first, then the date and year, then the offset, then the shift.
      {"2024-03-05T07:08:09Zx", K::kTrailingInput},
      {"2024-03-05T07:08:09Z Z", K::kTrailingInput},
      {"2024-03-05T07:08:09+05:30:00", K::kTrailingInput},
      {"2023-02-29T00:00:00Z+24:00", K::kTrailingInput},
      {"2023-02-29T00:00:00Z", K::kOutOfRange},
      {"1900-02-29T00:00:00Z", K::kOutOfRange},
      {"2024-04-31T00:00:00Z", K::kOutOfRange},
      {"-262144-12-31T23:59:59Z", K::kOutOfRange},
      {"+262143-01-01T00:00:00Z", K::kOutOfRange},
      {"2024-03-05T07:08:09+24:00", K::kOutOfRange},
      {"2024-03-05T07:08:09-99:00", K::kOutOfRange},
      {"+262143-01-01T00:00:00+24:00", K::kOutOfRange},
      {"-262143-01-01T00:30:00+01:00", K::kNoMatchingInstant},
      {"+262142-12-31T23:30:00-01:00", K::kNoMatchingInstant},
      {"+262142-12-31T23:59:60-00:01", K::kNoMatchingInstant},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.input);
    auto ts = ParseTimestamp(c.input);
    ASSERT_FALSE(ts.ok()) << TimestampText(*ts);
    EXPECT_EQ(ts.error().kind(), c.kind);
  }
}

TEST(TimestampError, MessagesAreTheFixedTexts) {
  using K = TimestampErrorKind;
  EXPECT_EQ(TimestampError(K::kInvalidCharacters).message(), "input contains invalid characters");
  EXPECT_EQ(TimestampError(K::kPrematureEnd).message(), "premature end of input");
  EXPECT_EQ(TimestampError(K::kOutOfRange).message(), "input is out of range");
  EXPECT_EQ(TimestampError(K::kTrailingInput).message(), "trailing input");
  EXPECT_EQ(TimestampError(K::kNoMatchingInstant).message(),
            "no possible date and time matching input");
  EXPECT_EQ(kTimestampExpected, "an RFC 3339 formatted date and time string");
}

TEST(UtcTimestamp, EqualityIsByUtcInstantToTheNanosecond) {
  EXPECT_EQ(*ParseTimestamp("2024-03-05T08:08:09+01:00"), *ParseTimestamp("2024-03-05T07:08:09Z"));
  EXPECT_NE(*ParseTimestamp("2024-03-05T07:08:09.000000001Z"),
            *ParseTimestamp("2024-03-05T07:08:09Z"));
  // A leap second is not the second 59 before it, nor the next minute.
  const UtcTimestamp leap = *ParseTimestamp("2016-12-31T23:59:60Z");
  EXPECT_NE(leap, *ParseTimestamp("2016-12-31T23:59:59Z"));
  EXPECT_NE(leap, *ParseTimestamp("2017-01-01T00:00:00Z"));
}

TEST(UtcTimestamp, ExposesCivilFieldsAndLeapSecondAsSecond59) {
  const UtcTimestamp leap = *ParseTimestamp("2016-12-31T23:59:60.25Z");
  EXPECT_EQ(leap.year(), 2016);
  EXPECT_EQ(leap.month(), 12);
  EXPECT_EQ(leap.day(), 31);
  EXPECT_EQ(leap.hour(), 23);
  EXPECT_EQ(leap.minute(), 59);
  EXPECT_EQ(leap.second(), 59);
  EXPECT_EQ(leap.second_of_day(), 86399u);
  EXPECT_EQ(leap.nanosecond(), 1'250'000'000u);
  EXPECT_TRUE(leap.is_leap_second());

  const UtcTimestamp ts = *ParseTimestamp("-0001-02-03T04:05:06.123456789Z");
  EXPECT_EQ(ts.year(), -1);
  EXPECT_EQ(ts.month(), 2);
  EXPECT_EQ(ts.day(), 3);
  EXPECT_EQ(ts.hour(), 4);
  EXPECT_EQ(ts.minute(), 5);
  EXPECT_EQ(ts.second(), 6);
  EXPECT_EQ(ts.nanosecond(), 123'456'789u);
  EXPECT_FALSE(ts.is_leap_second());

  EXPECT_EQ(UtcTimestamp().days_since_epoch(), 0);
  EXPECT_EQ(TimestampText(UtcTimestamp()), "1970-01-01T00:00:00Z");
  EXPECT_EQ(ParseTimestamp("2000-03-01T00:00:00Z")->days_since_epoch(), 11017);
  EXPECT_EQ(ParseTimestamp("1969-12-31T00:00:00Z")->days_since_epoch(), -1);
}

TEST(UtcTimestamp, FromCivilChecksEveryField) {
  EXPECT_EQ(UtcTimestamp::FromCivil(2024, 3, 5, 7, 8, 9, 500'000'000),
            *ParseTimestamp("2024-03-05T07:08:09.5Z"));
  EXPECT_EQ(UtcTimestamp::FromCivil(2016, 12, 31, 23, 59, 60, 0),
            *ParseTimestamp("2016-12-31T23:59:60Z"));
  EXPECT_FALSE(UtcTimestamp::FromCivil(2023, 2, 29, 0, 0, 0, 0));
  EXPECT_FALSE(UtcTimestamp::FromCivil(262143, 1, 1, 0, 0, 0, 0));
  EXPECT_FALSE(UtcTimestamp::FromCivil(-262144, 12, 31, 0, 0, 0, 0));
  EXPECT_FALSE(UtcTimestamp::FromCivil(2024, 1, 1, 24, 0, 0, 0));
  EXPECT_FALSE(UtcTimestamp::FromCivil(2024, 1, 1, 0, 0, 61, 0));
  EXPECT_FALSE(UtcTimestamp::FromCivil(2024, 1, 1, 0, 0, 60, 1'000'000'000));
}

// Every day of a span of years, across the start of the calendar's 400-year cycles and year 0,
// reads and writes back unchanged, and consecutive days are one day apart.
TEST(UtcTimestamp, CalendarRoundTripsEveryDayAcrossCycleBoundaries) {
  for (int start : {-401, -1, 1599, 1999}) {
    std::int64_t previous = 0;
    bool first = true;
    for (int year = start; year <= start + 2; ++year) {
      for (int month = 1; month <= 12; ++month) {
        for (int day = 1; day <= 31; ++day) {
          auto ts = UtcTimestamp::FromCivil(year, month, day, 12, 0, 0, 0);
          if (!ts) continue;
          SCOPED_TRACE(TimestampText(*ts));
          auto back = ParseTimestamp(TimestampText(*ts));
          ASSERT_TRUE(back.ok());
          EXPECT_EQ(*back, *ts);
          if (!first) {
            EXPECT_EQ(ts->days_since_epoch(), previous + 1);
          }
          previous = ts->days_since_epoch();
          first = false;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qiv::envelope

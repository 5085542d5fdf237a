// Fuzzes the relaxed RFC 3339 reader of envelope timestamps.
//
// Properties, for every input:
//   - the reader never faults, and a refusal is one of the five kinds with its message;
//   - an accepted text writes back to the canonical form, which reads to an equal instant and
//     writes the same bytes again;
//   - the canonical form has the shape the writer promises (sign rule of the year, two-digit
//     fields, 3/6/9 fraction digits in the fewest that hold the value exactly, final "Z");
//   - the accessors name the same instant: rebuilding it from its civil fields gives it back;
//   - white space around an accepted text and the ASCII letter case of it change nothing.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "qiv/signed_envelope/timestamp.h"

namespace {

using qiv::envelope::ParseTimestamp;
using qiv::envelope::TimestampErrorKind;
using qiv::envelope::TimestampText;
using qiv::envelope::UtcTimestamp;
using qiv::fuzz::Escaped;

std::string Describe(const UtcTimestamp& ts) {
  std::string out = TimestampText(ts);
  out += " {year " + std::to_string(ts.year()) + ", month " + std::to_string(ts.month()) +
         ", day " + std::to_string(ts.day()) + ", second_of_day " +
         std::to_string(ts.second_of_day()) + ", nanosecond " + std::to_string(ts.nanosecond()) +
         "}";
  return out;
}

bool AllDigits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return !s.empty();
}

// Checks the writer's output shape; returns an empty string or what is wrong.
std::string CanonicalShapeProblem(std::string_view w, const UtcTimestamp& ts) {
  if (w.empty() || w.back() != 'Z') return "does not end in Z";
  std::size_t year_len = w.find('-', 1);
  if (year_len == std::string_view::npos) return "no hyphen after the year";
  const std::string_view year = w.substr(0, year_len);
  const bool plain_year = ts.year() >= 0 && ts.year() <= 9999;
  if (plain_year) {
    if (year.size() != 4 || !AllDigits(year)) return "year 0-9999 not four digits";
  } else {
    if (year[0] != (ts.year() < 0 ? '-' : '+')) return "year outside 0-9999 lacks its sign";
    if (year.size() < 5 || !AllDigits(year.substr(1))) return "signed year under four digits";
  }
  std::string_view rest = w.substr(year_len);  // "-MM-DDTHH:MM:SS[.f]Z"
  static constexpr std::string_view kPattern = "-dd-ddTdd:dd:dd";
  if (rest.size() < kPattern.size() + 1) return "too short after the year";
  for (std::size_t i = 0; i < kPattern.size(); ++i) {
    const char p = kPattern[i];
    if (p == 'd' ? !(rest[i] >= '0' && rest[i] <= '9') : rest[i] != p) return "bad field layout";
  }
  const bool leap_written = rest.substr(13, 2) == "60";
  if (leap_written != ts.is_leap_second()) return "second 60 does not match the leap flag";
  std::string_view fraction = rest.substr(kPattern.size(), rest.size() - kPattern.size() - 1);
  const std::uint32_t frac_nanos = ts.nanosecond() % 1'000'000'000u;
  if (frac_nanos == 0) return fraction.empty() ? "" : "fraction written for zero nanoseconds";
  if (fraction.empty() || fraction[0] != '.') return "non-zero fraction left out";
  fraction.remove_prefix(1);
  const std::size_t want = frac_nanos % 1'000'000 == 0 ? 3 : frac_nanos % 1'000 == 0 ? 6 : 9;
  if (fraction.size() != want || !AllDigits(fraction)) return "fraction not in the fewest digits";
  return "";
}

std::string WithAsciiCase(std::string_view text, int (*convert)(int)) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x80) c = static_cast<char>(convert(c));
  }
  return out;
}

void CheckSameInstant(std::string_view variant_name, const std::string& variant,
                      const UtcTimestamp& ts, std::string_view input) {
  auto again = ParseTimestamp(variant);
  QIV_FUZZ_CHECK(again.ok() && *again == ts,
                 variant_name << " of an accepted text changed the result: input "
                              << Escaped(input) << " read as " << Describe(ts) << ", variant "
                              << Escaped(variant)
                              << (again.ok() ? " read as " + Describe(*again)
                                             : " refused: " + std::string(again.error().message())));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = qiv::fuzz::AsText(data, size);
  auto parsed = ParseTimestamp(input);
  if (!parsed.ok()) {
    const auto kind = parsed.error().kind();
    QIV_FUZZ_CHECK(kind >= TimestampErrorKind::kInvalidCharacters &&
                       kind <= TimestampErrorKind::kNoMatchingInstant &&
                       !parsed.error().message().empty(),
                   "refusal of " << Escaped(input) << " has no known kind");
    return 0;
  }
  const UtcTimestamp ts = *parsed;
  QIV_FUZZ_CHECK(ts.year() >= UtcTimestamp::kMinYear && ts.year() <= UtcTimestamp::kMaxYear &&
                     ts.second_of_day() < 86'400 && ts.nanosecond() < 2'000'000'000u &&
                     (!ts.is_leap_second() || ts.second() == 59),
                 Escaped(input) << " read as an instant out of range: " << Describe(ts));

  const std::string first = TimestampText(ts);
  const std::string shape = CanonicalShapeProblem(first, ts);
  QIV_FUZZ_CHECK(shape.empty(), "written form " << Escaped(first) << " of " << Escaped(input)
                                                << ": " << shape);

  auto reread = ParseTimestamp(first);
  QIV_FUZZ_CHECK(reread.ok(), "written form " << Escaped(first) << " of " << Escaped(input)
                                              << " is refused: "
                                              << (reread.ok() ? "" : reread.error().message()));
  QIV_FUZZ_CHECK(*reread == ts, "written form " << Escaped(first) << " of " << Escaped(input)
                                                << " reads to " << Describe(*reread)
                                                << ", expected " << Describe(ts));
  const std::string second = TimestampText(*reread);
  QIV_FUZZ_CHECK(second == first, "second write " << Escaped(second) << " differs from first "
                                                  << Escaped(first));

  const int second_field = ts.is_leap_second() ? 60 : ts.second();
  const auto rebuilt = UtcTimestamp::FromCivil(ts.year(), ts.month(), ts.day(), ts.hour(),
                                                ts.minute(), second_field,
                                                ts.nanosecond() % 1'000'000'000u);
  QIV_FUZZ_CHECK(rebuilt.has_value() && *rebuilt == ts,
                 "FromCivil of the fields of " << Describe(ts) << " does not give it back");

  CheckSameInstant("white space around", " \t" + std::string(input) + "\xe3\x80\x80 ", ts, input);
  CheckSameInstant("lower case", WithAsciiCase(input, [](int c) { return std::tolower(c); }), ts,
                   input);
  CheckSameInstant("upper case", WithAsciiCase(input, [](int c) { return std::toupper(c); }), ts,
                   input);
  return 0;
}

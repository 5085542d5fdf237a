#include "qiv/runtime/worker_threads.h"

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <string_view>
#include <thread>

#include "qiv/primitives/repr_quote.h"

namespace qiv::runtime {
namespace {

// Length of the UTF-8 sequence starting at text[pos], or 0 when no valid scalar value starts
// there (overlong forms, surrogates and values above U+10FFFF are invalid).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  if (byte(pos + 1) < low || byte(pos + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) return 0;
  }
  return length;
}

bool IsValidUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

// The value between double quotes, valid text by the representation quoting rule and each
// byte outside valid UTF-8 as \xHH.
std::string QuoteRawValue(std::string_view value) {
  std::string out = "\"";
  std::size_t run_start = 0;
  const auto flush_run = [&](std::size_t end) {
    if (end > run_start) {
      const std::string quoted = ReprQuoted(value.substr(run_start, end - run_start));
      out.append(quoted, 1, quoted.size() - 2);
    }
  };
  for (std::size_t pos = 0; pos < value.size();) {
    const std::size_t length = Utf8SequenceLength(value, pos);
    if (length != 0) {
      pos += length;
      continue;
    }
    flush_run(pos);
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(value[pos]));
    out += escape;
    run_start = ++pos;
  }
  flush_run(value.size());
  out += '"';
  return out;
}

std::string QuotedName() { return std::string("\"") + kWorkerThreadsVariable + "\""; }

}  // namespace

std::size_t AvailableProcessors() {
  // Grow the mask until it covers every CPU the kernel knows of.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const int rc = sched_getaffinity(0, size, set);
    const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (rc == 0 && count > 0) return static_cast<std::size_t>(count);
    if (rc != 0 && errno != EINVAL) break;
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : hardware;
}

Result<std::size_t, std::string> ParseWorkerThreads(const char* value) {
  if (value == nullptr) return AvailableProcessors();
  const std::string_view text(value);
  if (!IsValidUtf8(text)) {
    return Err(QuotedName() + " must be valid unicode, error: " + QuoteRawValue(text));
  }
  const auto refuse = [&](std::string_view reason) {
    return Err(QuotedName() + " must be usize, error: " + std::string(reason) +
               ", value: " + std::string(text));
  };
  if (text.empty()) return refuse("cannot parse integer from empty string");
  std::string_view digits = text;
  if (digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return refuse("invalid digit found in string");
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  std::size_t count = 0;
  // Left to right, as a reader would: the first offending character decides the reason.
  for (const char c : digits) {
    if (c < '0' || c > '9') return refuse("invalid digit found in string");
    const std::size_t digit = static_cast<std::size_t>(c - '0');
    if (count > (kMax - digit) / 10) return refuse("number too large to fit in target type");
    count = count * 10 + digit;
  }
  if (count == 0) return Err(QuotedName() + " cannot be set to 0");
  return count;
}

}  // namespace qiv::runtime

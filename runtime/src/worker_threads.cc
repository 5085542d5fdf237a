#include "qiv/runtime/worker_threads.h"

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <string_view>
#include <thread>

#include "qiv/primitives/repr_quote.h"
#include "qiv/primitives/unicode.h"

namespace qiv::runtime {
namespace {

bool IsValidUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t c;
    const std::size_t length = DecodeUtf8Char(text, pos, c);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

// The value between double quotes, valid text by the representation quoting rule and each
// byte outside valid UTF-8 as \xHH.
std::string QuoteRawValue(std::string_view value) {
  std::string out;
  AppendReprQuotedPath(out, value);
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

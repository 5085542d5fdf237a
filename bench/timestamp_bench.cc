// The envelope's timestamp reader (relaxed RFC 3339) and writer, on the forms envelopes carry:
// a whole second in UTC, milliseconds, nanoseconds with an offset, and a leap second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "qiv/signed_envelope/timestamp.h"

namespace {

constexpr std::string_view kTexts[] = {
    "2024-03-05T07:08:09Z",
    "2024-03-05T07:08:09.123Z",
    "2024-03-05 07:08:09.123456789+01:00",
    "2016-12-31T23:59:60.5Z",
};

void BM_TimestampParse(benchmark::State& state) {
  std::string_view text = kTexts[state.range(0)];
  for (auto _ : state) {
    auto ts = qiv::envelope::ParseTimestamp(text);
    if (!ts.ok()) {
      std::fprintf(stderr, "ParseTimestamp refused %.*s\n", static_cast<int>(text.size()),
                   text.data());
      std::exit(2);
    }
    benchmark::DoNotOptimize(ts);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  state.SetLabel(std::string(text));
}
BENCHMARK(BM_TimestampParse)->DenseRange(0, 3);

// Appends into a buffer that keeps its capacity, as a record writer does.
void BM_TimestampFormat(benchmark::State& state) {
  auto ts = qiv::envelope::ParseTimestamp(kTexts[state.range(0)]);
  if (!ts.ok()) std::exit(2);
  std::string out;
  out.reserve(64);
  for (auto _ : state) {
    out.clear();
    qiv::envelope::AppendTimestamp(out, *ts);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(qiv::envelope::TimestampText(*ts));
}
BENCHMARK(BM_TimestampFormat)->DenseRange(0, 3);

}  // namespace

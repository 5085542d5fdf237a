// The representation quoting rule: plain ASCII (the common case: ids, fingerprints), text
// with escapes, and non-ASCII text that needs the Unicode property tables.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "qiv/primitives/repr_quote.h"

namespace {

const std::string& Text(int which) {
  static const std::string* texts = new std::string[4]{
      // An exchange id.
      "0190a1b2-7c3d-7e4f-8a9b-0c1d2e3f4a5b",
      // A 32-character fingerprint.
      "3f2a9c0e5b7d41a6c8e0f2b4d6a8c0e2",
      // Quotes, backslashes and control characters.
      "say \"hi\"\\n\tthen\r\n\x01 stop",
      // Accented Latin, CJK, combining marks, an emoji, a zero width space and NBSP.
      "caf\u00e9 \u6771\u4eac a\u0301 \U0001F600 x\u200by\u00a0z \u0394\u03b5\u03bb\u03c4\u03b1",
  };
  return texts[which];
}

void BM_ReprQuote(benchmark::State& state) {
  const std::string& text = Text(static_cast<int>(state.range(0)));
  std::string out;
  out.reserve(256);
  for (auto _ : state) {
    out.clear();
    qiv::AppendReprQuoted(out, text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  static constexpr const char* kLabels[] = {"exchange id", "fingerprint", "escapes", "unicode"};
  state.SetLabel(kLabels[state.range(0)]);
}
BENCHMARK(BM_ReprQuote)->DenseRange(0, 3);

void BM_ReprQuotePath(benchmark::State& state) {
  const std::string path = "/home/u/.tolvan/envelope-queue/q\xff\xfe-\xc3\xa9";
  std::string out;
  out.reserve(128);
  for (auto _ : state) {
    out.clear();
    qiv::AppendReprQuotedPath(out, path);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(path.size()));
}
BENCHMARK(BM_ReprQuotePath);

}  // namespace

// The envelope's JSON codec: reading and writing a typical envelope and one with long hashes
// and signatures (MB/s and ns per record), and reading an envelope that carries a large key
// the record does not know, which measures how fast the reader skips a value.
//
// The record's calls are reached through EnvelopeCodec below, which looks for the usual
// shapes of a reader and a writer at compile time; when none is present (the codec has not
// landed yet) the benchmarks are not registered and the report says "not built yet". Should
// the record's entry points be spelt differently, extend EnvelopeCodec, nothing else.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "bench_util.h"

#if __has_include("qiv/signed_envelope/signed_envelope.h")
#include "qiv/signed_envelope/signed_envelope.h"
#endif
#if __has_include("qiv/primitives/json_record.h")
#include "qiv/primitives/json_record.h"
#define QIV_BENCH_HAVE_JSON_RECORD 1
#endif

// Names the type whether or not the header above declared it, so that the codec's entry
// points can be probed with requires-expressions instead of failing to compile.
namespace qiv::envelope {
class SignedEnvelope;
}  // namespace qiv::envelope

namespace {

template <typename R>
bool IsOk(const R& result) {
  if constexpr (requires { result.ok(); }) {
    return result.ok();
  } else if constexpr (requires { result.has_value(); }) {
    return result.has_value();
  } else {
    return true;
  }
}

// Whether the generic record engine (json_record.h) can read and write E: E must be complete,
// i.e. the envelope header has landed and declared it.
template <typename E>
constexpr bool RecordEngineFits() {
#ifdef QIV_BENCH_HAVE_JSON_RECORD
  return requires { sizeof(E); };
#else
  return false;
#endif
}

template <typename E = qiv::envelope::SignedEnvelope>
struct EnvelopeCodec {
  static constexpr bool kCanRead = requires(std::string_view text) { E::FromJson(text); } ||
                                   requires(std::string_view text) { E::Parse(text); } ||
                                   RecordEngineFits<E>();

  static auto Read(std::string_view text) {
    if constexpr (requires { E::FromJson(text); }) {
      return E::FromJson(text);
    } else if constexpr (requires { E::Parse(text); }) {
      return E::Parse(text);
    } else {
#ifdef QIV_BENCH_HAVE_JSON_RECORD
      return qiv::json::ReadRecordFromText<E>(text);
#endif
    }
  }

  template <typename V>
  static constexpr bool kCanWrite = requires(const V& v) { v.ToJson(); } ||
                                    requires(const V& v, std::string& out) { v.AppendJson(out); } ||
                                    RecordEngineFits<V>();

  template <typename V>
  static void Write(const V& envelope, std::string& out) {
    if constexpr (requires { envelope.AppendJson(out); }) {
      envelope.AppendJson(out);
    } else if constexpr (requires { envelope.ToJson(); }) {
      out = envelope.ToJson();
    } else {
#ifdef QIV_BENCH_HAVE_JSON_RECORD
      out = qiv::json::RecordToJson(envelope, qiv::JsonWriter::Style::kCompact);
#endif
    }
  }
};

const char* kFiles[] = {"typical_envelope.json", "long_envelope.json",
                        "unknown_key_envelope.json"};

template <typename Codec>
void BM_EnvelopeRead(benchmark::State& state) {
  const std::string text = qiv::bench::ReadDataFile(kFiles[state.range(0)]);
  for (auto _ : state) {
    auto envelope = Codec::Read(text);
    if (!IsOk(envelope)) {
      std::fprintf(stderr, "the envelope reader refused %s\n", kFiles[state.range(0)]);
      std::exit(2);
    }
    benchmark::DoNotOptimize(envelope);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  state.SetLabel(kFiles[state.range(0)]);
}

template <typename Codec>
void BM_EnvelopeWrite(benchmark::State& state) {
  const std::string text = qiv::bench::ReadDataFile(kFiles[state.range(0)]);
  auto envelope = Codec::Read(text);
  if (!IsOk(envelope)) std::exit(2);
  const auto& value = *envelope;
  std::string out;
  Codec::Write(value, out);
  const std::int64_t written = static_cast<std::int64_t>(out.size());
  for (auto _ : state) {
    out.clear();
    Codec::Write(value, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * written);
  state.SetLabel(kFiles[state.range(0)]);
}

template <typename Codec>
bool RegisterCodecBenchmarks() {
  if constexpr (Codec::kCanRead) {
    benchmark::RegisterBenchmark("BM_EnvelopeRead", BM_EnvelopeRead<Codec>)->DenseRange(0, 2);
    using Value = std::remove_cvref_t<decltype(*Codec::Read(std::string_view()))>;
    if constexpr (Codec::template kCanWrite<Value>) {
      benchmark::RegisterBenchmark("BM_EnvelopeWrite", BM_EnvelopeWrite<Codec>)->DenseRange(0, 1);
    }
  }
  return true;
}

const bool kRegistered = RegisterCodecBenchmarks<EnvelopeCodec<>>();

}  // namespace

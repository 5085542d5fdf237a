// Protocol addresses: parsing a tvq:// URI, formatting it back, and the address hash.
//
// As in codec_bench.cc, the record's calls are probed at compile time (AddressOps below);
// benchmarks whose call is missing are not registered and reported as "not built yet".
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#if __has_include("qiv/primitives/address.h")
#include "qiv/primitives/address.h"
#endif

namespace qiv {
class ProtocolAddress;
}  // namespace qiv

namespace {

constexpr std::string_view kUri = "tvq://body/peer/3f2a9c0e5b7d41a6c8e0f2b4d6a8c0e2";

template <typename A = qiv::ProtocolAddress>
struct AddressOps {
  static constexpr bool kCanParse = requires(std::string_view uri) { A::Parse(uri); };
  static auto Parse(std::string_view uri) { return A::Parse(uri); }

  template <typename V>
  static constexpr bool kCanFormat = requires(const V& v) { v.ToUri(); };
  template <typename V>
  static constexpr bool kCanHash = requires(const V& v) { v.Hash(); };
};

template <typename Ops>
void BM_AddressParse(benchmark::State& state) {
  for (auto _ : state) {
    auto address = Ops::Parse(kUri);
    if (!address) std::exit(2);
    benchmark::DoNotOptimize(address);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kUri.size()));
}

template <typename Ops>
void BM_AddressToUri(benchmark::State& state) {
  auto address = Ops::Parse(kUri);
  if (!address) std::exit(2);
  for (auto _ : state) {
    auto uri = address->ToUri();
    benchmark::DoNotOptimize(uri);
  }
}

template <typename Ops>
void BM_AddressHash(benchmark::State& state) {
  auto address = Ops::Parse(kUri);
  if (!address) std::exit(2);
  for (auto _ : state) {
    auto hash = address->Hash();
    benchmark::DoNotOptimize(hash);
  }
}

template <typename Ops>
bool RegisterAddressBenchmarks() {
  if constexpr (Ops::kCanParse) {
    benchmark::RegisterBenchmark("BM_AddressParse", BM_AddressParse<Ops>);
    using Value = std::remove_cvref_t<decltype(*Ops::Parse(std::string_view()))>;
    if constexpr (Ops::template kCanFormat<Value>) {
      benchmark::RegisterBenchmark("BM_AddressToUri", BM_AddressToUri<Ops>);
    }
    if constexpr (Ops::template kCanHash<Value>) {
      benchmark::RegisterBenchmark("BM_AddressHash", BM_AddressHash<Ops>);
    }
  }
  return true;
}

const bool kRegistered = RegisterAddressBenchmarks<AddressOps<>>();

}  // namespace

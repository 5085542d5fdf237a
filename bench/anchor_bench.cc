// The in-memory anchor: submit of fresh roots (the table grows as it would in a test run) and
// verify of a receipt it holds, among 10,000 others.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "qiv/primitives/mock_anchor.h"

namespace {

qiv::MerkleRoot RootOf(std::uint64_t n) {
  qiv::MerkleRoot root{};
  for (int i = 0; i < 8; ++i) root[24 + i] = static_cast<std::uint8_t>(n >> (8 * (7 - i)));
  root[0] = 0xa5;
  return root;
}

void BM_MockAnchorSubmit(benchmark::State& state) {
  qiv::MockAnchor anchor("bench");
  std::uint64_t n = 0;
  for (auto _ : state) {
    auto receipt = anchor.Submit(RootOf(n++));
    if (!receipt.ok()) std::exit(2);
    benchmark::DoNotOptimize(receipt);
  }
}
BENCHMARK(BM_MockAnchorSubmit);

void BM_MockAnchorVerify(benchmark::State& state) {
  qiv::MockAnchor anchor("bench");
  for (std::uint64_t n = 1; n < 10000; ++n) {
    if (!anchor.Submit(RootOf(n)).ok()) std::exit(2);
  }
  auto receipt = anchor.Submit(RootOf(0));
  if (!receipt.ok()) std::exit(2);
  for (auto _ : state) {
    auto proof = anchor.Verify(*receipt);
    if (!proof.ok()) {
      std::fprintf(stderr, "MockAnchor refused its own receipt\n");
      std::exit(2);
    }
    benchmark::DoNotOptimize(proof);
  }
}
BENCHMARK(BM_MockAnchorVerify);

}  // namespace

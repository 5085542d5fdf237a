// The runtime's hand-off: BlockOn of a task that awaits one blocking job, the path that every
// file step of the queue takes (one hand-over to a pool thread and one wake-up of the caller),
// alone and in a series of 100 jobs in one BlockOn, as list() makes one job per item file.
// The jobs do nothing, so the figures are the cost of the two switches. One pool thread
// serves every call, as in a process whose calls never overlap.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "qiv/runtime/runtime.h"
#include "qiv/runtime/task.h"

namespace {

qiv::runtime::Task<int> OneJob(int value) {
  auto result = co_await qiv::runtime::Blocking([value] { return value + 1; });
  co_return result.ok() ? *result : -1;
}

void BM_BlockOnPoolJob(benchmark::State& state) {
  qiv::runtime::RuntimeOptions options;
  auto runtime = qiv::runtime::Runtime::Build(options);
  if (!runtime.ok()) std::exit(2);
  int value = 0;
  for (auto _ : state) {
    value = (*runtime)->BlockOn(OneJob(value));
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_BlockOnPoolJob)->UseRealTime();

constexpr int kSeries = 100;

qiv::runtime::Task<int> JobSeries() {
  int value = 0;
  for (int i = 0; i < kSeries; ++i) {
    auto result = co_await qiv::runtime::Blocking([value] { return value + 1; });
    value = result.ok() ? *result : -1;
  }
  co_return value;
}

// Time per job.
void BM_BlockOnPoolJobSeries(benchmark::State& state) {
  qiv::runtime::RuntimeOptions options;
  auto runtime = qiv::runtime::Runtime::Build(options);
  if (!runtime.ok()) std::exit(2);
  for (auto _ : state) {
    benchmark::DoNotOptimize((*runtime)->BlockOn(JobSeries()));
  }
  state.SetItemsProcessed(state.iterations() * kSeries);
  state.counters["per_job_ns"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kSeries),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BlockOnPoolJobSeries)->UseRealTime();

}  // namespace

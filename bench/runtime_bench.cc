// The runtime's hand-off: BlockOn of a task that awaits one blocking job, the path that every
// file step of the queue takes (one hand-over to a pool thread and one wake-up of the caller).
// The job does nothing, so the figure is the cost of the two switches. One pool thread serves
// every call, as in a process whose calls never overlap.
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

}  // namespace

// How many worker threads the runtime starts.
//
//   auto count = qiv::runtime::ParseWorkerThreads(std::getenv("TOKIO_WORKER_THREADS"));
//   if (!count.ok()) qiv::RaiseFault(count.error());
//
// Pure apart from reading the process's CPU affinity; thread-safe.
#ifndef QIV_RUNTIME_WORKER_THREADS_H_
#define QIV_RUNTIME_WORKER_THREADS_H_

#include <cstddef>
#include <string>

#include "qiv/primitives/result.h"

namespace qiv::runtime {

// The name of the environment variable that overrides the worker count.
inline constexpr char kWorkerThreadsVariable[] = "TOKIO_WORKER_THREADS";

// The number of processors this process may run on, or 1 when it cannot be found.
std::size_t AvailableProcessors();

// The worker count for the variable's raw value: AvailableProcessors() when `value` is null
// (the variable is unset); otherwise the value read as an unsigned decimal integer (an
// optional "+", then digits only), which must not be 0. On failure the error is the complete
// fault message, e.g. "\"TOKIO_WORKER_THREADS\" cannot be set to 0".
Result<std::size_t, std::string> ParseWorkerThreads(const char* value);

}  // namespace qiv::runtime

#endif  // QIV_RUNTIME_WORKER_THREADS_H_

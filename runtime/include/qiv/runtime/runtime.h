// Runtime: the process's thread pool for blocking calls, and the driver of Tasks.
//
// A Runtime owns N worker threads, started when it is built and idle for good, and an elastic
// pool of blocking threads: a job that finds no idle pool thread gets a new one while fewer
// than N + 512 threads run (the workers included), and otherwise waits in a FIFO queue; a pool
// thread that has had no job for the keep-alive period (10 seconds) ends. Every thread it
// starts is named "tokio-runtime-worker" (the system keeps the first 15 bytes).
//
// BlockOn runs a Task on the calling thread. When the task awaits Blocking(fn), fn runs on a
// pool thread while the calling thread sleeps in the kernel (no spinning); the job's end wakes
// it and the task resumes there. Pool threads run only the blocking calls handed to them. An
// idle pool thread is handed its job directly, and runs it where the thread that hands it over
// may run: on that thread's CPUs for a single job, on its CPU of the moment for a series of
// jobs, while the calling thread is held on that CPU too (let go now and then, so that the
// scheduler can move it off a busy CPU, and given back the CPUs it was allowed when BlockOn
// returns). So a caller and its pool thread take turns on one CPU instead of waking each other
// across CPUs. A mask that someone else gives the caller meanwhile (`taskset`, a change of its
// cgroup's CPUs) wins: it is kept, the caller is not held again in that call, and the pool
// thread that served the call last has it too when BlockOn returns, unless that thread was
// given a mask of its own from outside as well. A cgroup change that leaves out the CPU the
// caller is held on leaves the caller its own mask within the cgroup's CPUs, as the kernel
// does for a thread that was never held.
//
//   qiv::runtime::Task<int> ReadSize(const std::string& path) {
//     auto size = co_await qiv::runtime::Blocking([&] { return StatSize(path); });
//     if (!size.ok()) co_return -1;   // the job ended without a result
//     co_return *size;
//   }
//   int size = qiv::runtime::BindingRuntime().BlockOn(ReadSize(path));
//
// The process-wide runtime, BindingRuntime(), is built on first use and never shut down; a
// forked child builds its own. Runtime's member functions are thread-safe; BlockOn may be
// called from several threads at once, each driving its own task.
#ifndef QIV_RUNTIME_RUNTIME_H_
#define QIV_RUNTIME_RUNTIME_H_

#include <chrono>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "qiv/primitives/fault.h"
#include "qiv/primitives/result.h"
#include "qiv/runtime/task.h"

namespace qiv::runtime {

// The name of every runtime thread, before the system shortens it.
inline constexpr char kThreadName[] = "tokio-runtime-worker";

// A blocking job that ended without a result (its call threw something other than a Fault).
struct JobFailed {
  bool operator==(const JobFailed&) const = default;
};

struct RuntimeOptions {
  std::size_t worker_threads = 1;
  // Pool threads allowed beyond the workers.
  std::size_t max_blocking_threads = 512;
  std::chrono::nanoseconds keep_alive = std::chrono::seconds(10);
};

// A snapshot of the pool, for tests and diagnostics.
struct PoolStats {
  std::size_t threads = 0;       // live runtime threads, workers included
  std::size_t idle_threads = 0;  // pool threads waiting for a job
  std::size_t queued_jobs = 0;   // jobs waiting for a thread
};

namespace internal {
struct PoolState;
struct BlockOnContext;
BlockOnContext* CurrentBlockOn();
void SubmitToCurrent(BlockOnContext* context, std::function<void()> job,
                     std::function<void()> done);
void Wake(BlockOnContext* context, std::coroutine_handle<> handle);
}  // namespace internal

class Runtime {
 public:
  // Builds a runtime with `options`: creates the I/O poller and starts the workers. A system
  // refusal of the poller is returned as its error number; a refusal of a worker thread is a
  // fault ("OS can't spawn worker thread: <error>"). The process uses BindingRuntime(); this
  // is also how tests build runtimes of their own.
  static Result<std::unique_ptr<Runtime>, int> Build(const RuntimeOptions& options);

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // Stops the workers, lets the pool threads finish their jobs, and waits until every thread
  // has ended. Never called for the process-wide runtime.
  ~Runtime();

  // Runs `task` to its end on the calling thread and returns its result; rethrows what the
  // task threw. The task may borrow anything the caller holds.
  template <typename T>
  T BlockOn(Task<T> task) {
    Drive(task.handle_);
    return task.handle_.promise().TakeResult();
  }

  // Hands `job` to a pool thread, starting one if none is idle and the cap allows; otherwise
  // the job waits its turn. After `job`, the same thread calls `done` (when given) once it
  // counts itself idle again. Neither may throw. Faults ("OS can't spawn worker thread: ...")
  // when a thread is needed and the system refuses it; the job is then not queued.
  void Submit(std::function<void()> job, std::function<void()> done = nullptr);

  std::size_t worker_threads() const { return worker_threads_; }
  PoolStats Stats() const;

 private:
  explicit Runtime(const RuntimeOptions& options);

  // True in a child forked after this runtime was built.
  bool BuiltInAnotherProcess() const;

  // Resumes `root` and sleeps between the wake-ups of its blocking jobs until it is done.
  void Drive(std::coroutine_handle<> root);

  const std::size_t worker_threads_;
  const std::uint64_t fork_generation_;
  std::shared_ptr<internal::PoolState> pool_;
  int poller_fd_ = -1;
};

// The process-wide runtime, built on the first call: N workers from TOKIO_WORKER_THREADS (or
// the available processors), cap N + 512, keep-alive 10 seconds. While one thread builds it,
// other callers wait for the outcome. A failed build is a fault of the calling operation and
// leaves the runtime unbuilt, so the next call tries again (re-reading the variable):
// "failed to start tokio runtime for qiv-protocol-py: Os { ... }" when the system refuses a
// resource, or the worker-count fault of ParseWorkerThreads.
//
// Each process has its own: in a child forked after the runtime was built, the first call
// builds a fresh runtime, as in a new process, and the parent's is never touched there (its
// threads did not follow the fork, and its locks may have been held by them). A Runtime built
// with Build() and used in such a child faults on its first pool job instead of hanging.
Runtime& BindingRuntime();

namespace internal {

// The guard of BindingRuntime's one-time build; exposed for tests that fork while it is held.
std::mutex& BindingBuildGuard();

template <typename F>
class BlockingAwaiter {
 public:
  using Value = std::invoke_result_t<F&>;

  explicit BlockingAwaiter(F fn) : fn_(std::move(fn)) {}

  bool await_ready() const noexcept { return false; }

  void await_suspend(std::coroutine_handle<> awaiting) {
    BlockOnContext* context = CurrentBlockOn();
    if (context == nullptr) RaiseFault("a blocking job was awaited outside block_on");
    // Everything the job touches lives in this awaiter, inside the suspended coroutine's
    // frame, which stays put until the wake-up resumes it.
    SubmitToCurrent(
        context, [this] { Run(); }, [context, awaiting] { Wake(context, awaiting); });
  }

  Result<Value, JobFailed> await_resume() {
    if (fault_) std::rethrow_exception(std::exchange(fault_, nullptr));
    if constexpr (std::is_void_v<Value>) {
      if (!done_) return Err(JobFailed{});
      return {};
    } else {
      if (!value_) return Err(JobFailed{});
      return std::move(*value_);
    }
  }

 private:
  using Stored = std::conditional_t<std::is_void_v<Value>, bool, Value>;

  void Run() noexcept {
    try {
      if constexpr (std::is_void_v<Value>) {
        fn_();
        done_ = true;
      } else {
        value_.emplace(fn_());
      }
    } catch (const Fault&) {
      fault_ = std::current_exception();
    } catch (...) {
      // Any other escape means the job ended without a result.
    }
  }

  F fn_;
  std::optional<Stored> value_;
  bool done_ = false;
  std::exception_ptr fault_;
};

}  // namespace internal

// Inside a task driven by BlockOn: `co_await Blocking(fn)` runs fn() on a pool thread of the
// runtime driving the task and resumes the task on the BlockOn thread with a
// Result<decltype(fn()), JobFailed>. A Fault thrown by fn is rethrown in the task; any other
// exception gives JobFailed. Awaiting it outside BlockOn is a fault.
template <typename F>
internal::BlockingAwaiter<std::decay_t<F>> Blocking(F&& fn) {
  return internal::BlockingAwaiter<std::decay_t<F>>(std::forward<F>(fn));
}

}  // namespace qiv::runtime

#endif  // QIV_RUNTIME_RUNTIME_H_

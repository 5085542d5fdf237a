#include "qiv/runtime/runtime.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <limits>
#include <new>
#include <string>

#include "qiv/runtime/os_error.h"
#include "qiv/runtime/worker_threads.h"

namespace qiv::runtime {
namespace internal {

struct PoolJob {
  std::function<void()> run;
  std::function<void()> done;  // may be empty
};

struct PoolState {
  PoolState(std::size_t cap_in, std::chrono::nanoseconds keep_alive_in)
      : cap(cap_in), keep_alive(keep_alive_in) {}

  const std::size_t cap;  // most threads at once, workers included
  const std::chrono::nanoseconds keep_alive;

  mutable std::mutex mu;
  std::condition_variable work_cv;  // idle pool threads wait here for a job
  std::condition_variable stop_cv;  // workers wait here for the runtime to stop
  std::condition_variable exit_cv;  // the destructor waits here for the last thread
  std::deque<PoolJob> queue;                // guarded by mu
  std::size_t threads = 0;                  // guarded by mu
  std::size_t idle = 0;                     // guarded by mu
  bool stopping = false;                    // guarded by mu
};

namespace {

thread_local BlockOnContext* current_block_on = nullptr;

// A forked child has only the thread that called fork: every runtime thread of the parent is
// gone, while the runtime's memory, counts and locks are copied as they stood (a lock may be
// held by a thread that no longer exists). So nothing built before a fork may be used after
// it in the child. Each fork raises this counter in the child; a runtime remembers the value
// it was built under.
constinit std::atomic<std::uint64_t> fork_generation{0};

// The process-wide runtime's cell and the guard of its one-time build.
constinit std::atomic<Runtime*> binding_cell{nullptr};
constinit std::mutex binding_build_mu;

void ForgetRuntimesInChild() {
  fork_generation.fetch_add(1, std::memory_order_relaxed);
  // The parent's runtime is left as it is, leaked: its state may be mid-change and its locks
  // held. The child builds a runtime of its own on first use. The guard is made anew, since
  // a parent thread may have held it at the moment of the fork.
  binding_cell.store(nullptr, std::memory_order_relaxed);
  new (&binding_build_mu) std::mutex();
}

// Registered when the library is loaded, so that no runtime can exist before it.
[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, &ForgetRuntimesInChild);

enum class Role { kWorker, kBlocking };

struct ThreadStart {
  std::shared_ptr<PoolState> pool;
  Role role;
};

void NameThread(pthread_t thread) {
  // The kernel keeps 15 bytes and a NUL; longer names are refused outright.
  char name[16] = {};
  for (std::size_t i = 0; i < sizeof name - 1 && kThreadName[i] != '\0'; ++i) {
    name[i] = kThreadName[i];
  }
  pthread_setname_np(thread, name);
}

// Ends the thread's membership of the pool. Notifies under the lock, and touches nothing of
// the pool afterwards, since the destructor may free it as soon as the count reaches 0.
void LeavePool(PoolState& pool, std::unique_lock<std::mutex>& lock) {
  --pool.threads;
  if (pool.threads == 0) pool.exit_cv.notify_all();
  lock.unlock();
}

void RunWorker(PoolState& pool) {
  // Workers receive no work: they hold their place in the pool until the runtime stops.
  std::unique_lock lock(pool.mu);
  pool.stop_cv.wait(lock, [&] { return pool.stopping; });
  LeavePool(pool, lock);
}

void RunBlocking(PoolState& pool) {
  std::unique_lock lock(pool.mu);
  while (true) {
    if (!pool.queue.empty()) {
      PoolJob job = std::move(pool.queue.front());
      pool.queue.pop_front();
      lock.unlock();
      job.run();
      // Count this thread as idle before telling the submitter that the job ended, so that
      // the submitter's next job comes back here instead of starting another thread.
      lock.lock();
      ++pool.idle;
      lock.unlock();
      if (job.done) job.done();
      job = PoolJob{};  // release what it captured outside the lock
      lock.lock();
      --pool.idle;
      continue;
    }
    if (pool.stopping) break;
    ++pool.idle;
    const bool woken = pool.work_cv.wait_for(
        lock, pool.keep_alive, [&] { return !pool.queue.empty() || pool.stopping; });
    --pool.idle;
    if (!woken) break;  // idle for the whole keep-alive period
  }
  LeavePool(pool, lock);
}

void* ThreadMain(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  NameThread(pthread_self());
  // The thread keeps the pool state alive until it has left it.
  std::shared_ptr<PoolState> pool = std::move(start->pool);
  if (start->role == Role::kWorker) {
    RunWorker(*pool);
  } else {
    RunBlocking(*pool);
  }
  return nullptr;
}

// Starts one detached thread; the caller holds pool->mu and has already counted the thread in
// pool->threads. Returns 0 or the system's error number.
int StartThread(const std::shared_ptr<PoolState>& pool, Role role) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto start = std::make_unique<ThreadStart>(ThreadStart{pool, role});
  pthread_t thread;
  rc = pthread_create(&thread, &attr, &ThreadMain, start.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) return rc;
  start.release();  // now owned by the thread
  // Named here as well, so that the name shows as soon as the thread exists, not only once it
  // has been scheduled. The caller holds pool->mu, which the thread takes before it can end,
  // so `thread` is still valid.
  NameThread(thread);
  return 0;
}

[[noreturn]] void RaiseSpawnFault(int code) {
  RaiseFault("OS can't spawn worker thread: " + OsErrorText(code));
}

class ScopedBlockOn {
 public:
  explicit ScopedBlockOn(BlockOnContext* context)
      : previous_(std::exchange(current_block_on, context)) {}
  ~ScopedBlockOn() { current_block_on = previous_; }
  ScopedBlockOn(const ScopedBlockOn&) = delete;
  ScopedBlockOn& operator=(const ScopedBlockOn&) = delete;

 private:
  BlockOnContext* previous_;
};

}  // namespace

BlockOnContext* CurrentBlockOn() { return current_block_on; }

std::mutex& BindingBuildGuard() { return binding_build_mu; }

void SubmitToCurrent(BlockOnContext* context, std::function<void()> job,
                     std::function<void()> done) {
  context->runtime->Submit(std::move(job), std::move(done));
}

void Wake(BlockOnContext* context, std::coroutine_handle<> handle) {
  // Notify under the lock: once `ready` is seen, the context may go away with BlockOn.
  std::lock_guard lock(context->mu);
  context->ready = handle;
  context->cv.notify_one();
}

}  // namespace internal

namespace {

std::size_t SaturatingAdd(std::size_t a, std::size_t b) {
  return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max()
                                                         : a + b;
}

}  // namespace

Runtime::Runtime(const RuntimeOptions& options)
    : worker_threads_(options.worker_threads),
      fork_generation_(internal::fork_generation.load(std::memory_order_relaxed)),
      pool_(std::make_shared<internal::PoolState>(
          SaturatingAdd(options.worker_threads, options.max_blocking_threads),
          options.keep_alive)) {}

Result<std::unique_ptr<Runtime>, int> Runtime::Build(const RuntimeOptions& options) {
  std::unique_ptr<Runtime> runtime(new Runtime(options));
  // The I/O driver's poller. Nothing registers with it, but it belongs to the runtime's
  // fixed configuration, and it is the resource whose refusal fails a build.
  runtime->poller_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (runtime->poller_fd_ < 0) return Err(errno);
  for (std::size_t i = 0; i < options.worker_threads; ++i) {
    std::unique_lock lock(runtime->pool_->mu);
    ++runtime->pool_->threads;
    const int rc = internal::StartThread(runtime->pool_, internal::Role::kWorker);
    if (rc != 0) {
      --runtime->pool_->threads;
      lock.unlock();
      runtime.reset();  // stops the workers already started
      internal::RaiseSpawnFault(rc);
    }
  }
  return runtime;
}

Runtime::~Runtime() {
  if (BuiltInAnotherProcess()) {
    // The threads to wait for are the parent's; the pool's state is left alone (leaked).
    if (poller_fd_ >= 0) close(poller_fd_);
    return;
  }
  {
    std::unique_lock lock(pool_->mu);
    pool_->stopping = true;
    pool_->work_cv.notify_all();
    pool_->stop_cv.notify_all();
    pool_->exit_cv.wait(lock, [&] { return pool_->threads == 0; });
  }
  if (poller_fd_ >= 0) close(poller_fd_);
}

bool Runtime::BuiltInAnotherProcess() const {
  return fork_generation_ != internal::fork_generation.load(std::memory_order_relaxed);
}

void Runtime::Submit(std::function<void()> job, std::function<void()> done) {
  if (BuiltInAnotherProcess()) {
    // Its pool threads stayed in the parent: a job handed to them would wait for ever.
    RaiseFault("the runtime was built before this process was forked; use it in the parent");
  }
  internal::PoolState& pool = *pool_;
  std::unique_lock lock(pool.mu);
  pool.queue.push_back(internal::PoolJob{std::move(job), std::move(done)});
  // Each idle thread takes one queued job; wake one if there are enough of them.
  if (pool.idle >= pool.queue.size()) {
    pool.work_cv.notify_one();
    return;
  }
  if (pool.threads >= pool.cap) return;  // waits in the queue, in arrival order
  ++pool.threads;
  const int rc = internal::StartThread(pool_, internal::Role::kBlocking);
  if (rc != 0) {
    // Waiting for a thread that may never free up could hang the caller; fail the call.
    --pool.threads;
    pool.queue.pop_back();
    lock.unlock();
    internal::RaiseSpawnFault(rc);
  }
}

PoolStats Runtime::Stats() const {
  std::lock_guard lock(pool_->mu);
  return PoolStats{pool_->threads, pool_->idle, pool_->queue.size()};
}

void Runtime::Drive(std::coroutine_handle<> root) {
  internal::BlockOnContext context{this, {}, {}, {}};
  internal::ScopedBlockOn scope(&context);
  root.resume();
  while (!root.done()) {
    std::coroutine_handle<> next;
    {
      std::unique_lock lock(context.mu);
      context.cv.wait(lock, [&] { return static_cast<bool>(context.ready); });
      next = std::exchange(context.ready, nullptr);
    }
    next.resume();
  }
}

Runtime& BindingRuntime() {
  // Built once per process, never destroyed: the runtime lives until the process ends. A
  // forked child finds the cell empty and builds its own (ForgetRuntimesInChild).
  std::atomic<Runtime*>& cell = internal::binding_cell;
  if (Runtime* runtime = cell.load(std::memory_order_acquire)) return *runtime;
  std::lock_guard lock(internal::binding_build_mu);
  if (Runtime* runtime = cell.load(std::memory_order_relaxed)) return *runtime;
  // A fault below unwinds through the guard and leaves the cell empty for the next caller.
  auto workers = ParseWorkerThreads(std::getenv(kWorkerThreadsVariable));
  if (!workers.ok()) RaiseFault(workers.error());
  RuntimeOptions options;
  options.worker_threads = *workers;
  auto built = Runtime::Build(options);
  if (!built.ok()) {
    RaiseFault("failed to start tokio runtime for qiv-protocol-py: " + OsErrorDebug(built.error()));
  }
  Runtime* runtime = built->release();
  cell.store(runtime, std::memory_order_release);
  return *runtime;
}

}  // namespace qiv::runtime

#include "qiv/runtime/runtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <initializer_list>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "qiv/runtime/os_error.h"
#include "qiv/runtime/worker_threads.h"
#include "wake_event.h"

namespace qiv::runtime {
namespace internal {

struct PoolJob {
  std::function<void()> run;
  std::function<void()> done;  // may be empty
};

// A blocking-pool thread as the pool sees it; it lives on the thread's own stack. A submitter
// that takes the thread from the idle list puts the job in `job` and signals `wake`; the
// destructor signals it without a job to stop it. Both happen under the pool's lock, while
// the thread is in the idle list, which it cannot leave without that lock: so the thread is
// still there when it is signalled.
struct PoolThread {
  WakeEvent wake;
  PoolJob job;    // written by the submitter before `wake` is signalled
  pid_t tid = 0;  // set before the thread first goes idle
  // The mask the pool last gave the thread (see KeepOnCpu), when known; guarded by mu. A
  // hand-off that wants the same one needs no system call.
  cpu_set_t mask{};
  bool mask_known = false;  // guarded by mu
};

// Where a hand-off puts the pool thread that takes it.
struct PoolPlacement {
  bool keep = true;  // leave the thread's mask as it is
  cpu_set_t mask{};  // otherwise the mask to give it: one CPU, or its caller's CPUs
};

struct PoolState {
  PoolState(std::size_t cap_in, std::chrono::nanoseconds keep_alive_in)
      : cap(cap_in), keep_alive(keep_alive_in) {}

  const std::size_t cap;  // most threads at once, workers included
  const std::chrono::nanoseconds keep_alive;

  mutable std::mutex mu;
  std::condition_variable stop_cv;  // workers wait here for the runtime to stop
  std::condition_variable exit_cv;  // the destructor waits here for the last thread
  // Idle pool threads, the most recently idle last; a job goes to the last one, so a steady
  // caller keeps using one thread and the others retire. Never non-empty while jobs queue.
  std::vector<PoolThread*> idle;  // guarded by mu
  std::deque<PoolJob> queue;      // guarded by mu; jobs waiting for a thread
  std::size_t threads = 0;        // guarded by mu
  bool stopping = false;          // guarded by mu
};

namespace {

// Whether `cpu` (from sched_getcpu) can be named in an affinity mask.
bool CpuFits(int cpu) { return cpu >= 0 && cpu < CPU_SETSIZE; }

// A placement on the one CPU `cpu`; one that cannot be named leaves the thread as it is.
PoolPlacement OnCpu(int cpu) {
  PoolPlacement placement;
  if (!CpuFits(cpu)) return placement;
  CPU_ZERO(&placement.mask);
  CPU_SET(cpu, &placement.mask);
  placement.keep = false;
  return placement;
}

// A placement on the CPUs the calling thread may run on now. It is read on every such
// hand-off, since anyone may have changed it since the last: the pool thread serves every
// caller of the process, and must not run a job on another caller's CPUs. A mask too large
// for cpu_set_t leaves the thread as it is.
PoolPlacement OnCallersCpus() {
  PoolPlacement placement;
  placement.keep = sched_getaffinity(0, sizeof placement.mask, &placement.mask) != 0;
  return placement;
}

// The pool thread running on this thread, if any; set once when it starts.
constinit thread_local pid_t current_pool_thread = 0;

// Keeps a thread in BlockOn on one CPU while it hands a series of jobs to the pool, and gives
// it back the CPUs it was allowed before when BlockOn ends.
//
// The pool thread is kept on its caller's CPU (KeepOnCpu), but that alone does not keep the
// pair together: the pool thread wakes the caller while it is itself still running, so where
// another CPU is idle the scheduler wakes the caller there, across CPUs, and the next hand-off
// moves the pool thread after it, round after round. So from its second job on the caller is
// held on its CPU too. Every kReleaseEvery hand-offs it is let go for one round, so that the
// scheduler can move it (and then its pool thread) away from a CPU that has become busy with
// other work; it is held again wherever it wakes. A single-job call is left alone.
//
// The mask belongs to whoever set it last. An operator (`taskset -a -p`) or a change of the
// cgroup's CPUs may replace it while the caller is held or let go; writing the saved mask back
// then, or holding the caller again, would undo that for good. So before each write the
// thread's mask is read back and compared with the one this placement gave it: if it differs,
// it is left as it is, and the caller is not held again for the rest of the call (its pool
// thread then follows the new mask too). Until the change is noticed, each hand-off still keeps
// the pool thread on the caller's CPU of the moment, over the new mask it was given as well; so
// once a change has been noticed, the pool thread that served the call last is given the
// caller's mask when BlockOn ends (FollowCaller), unless its own mask was set from outside as
// well. A new mask that is exactly the one CPU the caller is held on cannot be told from the
// hold and is undone with it.
class CallerPlacement {
 public:
  CallerPlacement() = default;
  CallerPlacement(const CallerPlacement&) = delete;
  CallerPlacement& operator=(const CallerPlacement&) = delete;
  ~CallerPlacement() {
    if (held_) LetGo();
  }

  // When BlockOn ends: gives the caller its saved mask back, unless it was replaced from
  // outside. Returns whether such a replacement was noticed at any point of the call; then
  // `found()` is the caller's mask as it was found replaced, and `own()` the caller's mask
  // now, for its pool thread (FollowCaller).
  bool End() {
    own_known_ = false;  // a mask given back at a let-go may have been replaced since
    if (held_) LetGo();
    if (replaced_ && !own_known_) {
      own_known_ = sched_getaffinity(0, sizeof own_, &own_) == 0;
    }
    return replaced_ && own_known_;
  }
  const cpu_set_t& found() const { return found_; }
  const cpu_set_t& own() const { return own_; }

  // Where the pool thread taking the coming hand-off should run (KeepOnCpu): on the caller's
  // CPU while the caller is held there; where it already is while the caller is let go for a
  // round of a series (it follows the caller at the next round); anywhere the caller may run
  // for a single job, or once the caller is no longer held.
  PoolPlacement PoolThreadPlacement() const {
    if (held_) return OnCpu(sched_getcpu());
    return hand_offs_ >= 2 && !left_alone_ ? PoolPlacement{} : OnCallersCpus();
  }

  // Before each hand-off of the calling thread.
  void BeforeHandOff() {
    ++hand_offs_;
    if (hand_offs_ < 2 || left_alone_) return;
    if (hand_offs_ == 2 && sched_getaffinity(0, sizeof allowed_, &allowed_) != 0) {
      left_alone_ = true;  // a mask too large for cpu_set_t: leave the thread as it is
      return;
    }
    if (held_) {
      if (hand_offs_ % kReleaseEvery == 0) LetGo();
      return;
    }
    // Held again after a round let go, unless the mask given back was replaced meanwhile.
    if (hand_offs_ > 2 && sched_getaffinity(0, sizeof found_, &found_) == 0 &&
        !CPU_EQUAL(&found_, &allowed_)) {
      left_alone_ = true;
      replaced_ = true;
      return;
    }
    const int cpu = sched_getcpu();
    if (!CpuFits(cpu)) return;
    CPU_ZERO(&one_);
    CPU_SET(cpu, &one_);
    held_ = sched_setaffinity(0, sizeof one_, &one_) == 0;
  }

 private:
  static constexpr std::size_t kReleaseEvery = 64;

  // Gives the held thread its saved mask back, unless a mask set from outside replaced the
  // hold (a mask that cannot be read counts as the hold, as it was readable when the hold
  // began); a refused write leaves it held, to be tried again at the next let-go or the end.
  void LetGo() {
    if (sched_getaffinity(0, sizeof found_, &found_) == 0 && !CPU_EQUAL(&found_, &one_)) {
      held_ = false;
      left_alone_ = true;
      replaced_ = true;
      cpu_set_t common;
      CPU_AND(&common, &found_, &one_);
      if (CPU_COUNT(&common) == 0) KeepReplacementWithoutHeldCpu();
      return;
    }
    held_ = sched_setaffinity(0, sizeof allowed_, &allowed_) != 0;
  }

  // The replacing mask, `found_`, lacks the CPU the thread is held on. Either someone gave the
  // thread a mask without it, which is the thread's own from now on; or that CPU is no longer
  // allowed to the thread (its cgroup's CPUs were changed to leave it out, or it went offline).
  // Then the kernel runs the thread on all of the cgroup's CPUs, CPUs its own mask may have
  // left out, while the mask it asked for stays the hold, which a later widening of the cgroup
  // would bring back for good. Only the second refuses the hold again, which tells the two
  // apart. Someone else's mask is then written back over the probing hold at once. After a
  // refusal the thread asks for its saved mask again: the kernel keeps it within the cgroup's
  // CPUs, as for a thread that was never held, and widens it again with the cgroup; only where
  // none of its CPUs is left there does the thread take the cgroup's CPUs as its own.
  void KeepReplacementWithoutHeldCpu() {
    const bool someone_elses = sched_setaffinity(0, sizeof one_, &one_) == 0;
    const cpu_set_t* first = someone_elses ? &found_ : &allowed_;
    const cpu_set_t* second = someone_elses ? &allowed_ : &found_;
    for (const cpu_set_t* mask : {first, second}) {
      if (sched_setaffinity(0, sizeof *mask, mask) == 0) {
        own_ = *mask;
        own_known_ = true;
        return;
      }
    }
  }

  std::size_t hand_offs_ = 0;
  bool left_alone_ = false;  // not held again in this call
  bool replaced_ = false;    // the mask was found replaced from outside
  bool held_ = false;
  cpu_set_t allowed_;  // the thread's own mask, saved before it is first held
  cpu_set_t one_;      // the one-CPU mask it is held on
  cpu_set_t found_;    // the mask it was found with when the replacement was noticed
  cpu_set_t own_;      // after a replacement: the mask this placement gave back as its own
  bool own_known_ = false;
};

}  // namespace

struct BlockOnContext {
  Runtime* runtime;
  std::coroutine_handle<> ready;  // written by Wake before `wake` is signalled
  WakeEvent wake;
  CallerPlacement placement;
  pid_t pool_thread;  // the thread whose job ended last; written by Wake like `ready`
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
[[maybe_unused]] const int fork_handler_registered =
    pthread_atfork(nullptr, nullptr, &ForgetRuntimesInChild);

enum class Role { kWorker, kBlocking };

struct ThreadStart {
  std::shared_ptr<PoolState> pool;
  Role role;
  PoolPlacement placement;  // the mask a pool thread starts with, where known (see KeepOnCpu)
};

void NameThread(pthread_t thread) {
  // The kernel keeps 15 bytes and a NUL; longer names are refused outright.
  char name[16] = {};
  for (std::size_t i = 0; i < sizeof name - 1 && kThreadName[i] != '\0'; ++i) {
    name[i] = kThreadName[i];
  }
  pthread_setname_np(thread, name);
}

// Keeps an idle pool thread on the CPU of a caller that is held there for a series of
// hand-offs (CallerPlacement). A hand-off then is a switch between two threads of one CPU: the
// caller sleeps as soon as it has handed the job over, the pool thread runs there at once,
// with the caller's data still warm, and wakes the caller there again. Waking a thread on
// another CPU costs several times that on virtual machines (an interrupt between virtual CPUs,
// often to one that is halted). The two threads never want to run at the same time, so
// sharing a CPU takes nothing from either.
//
// For a single job the thread may run wherever its caller may: a job that sleeps on the disk,
// a push's flushes say, is better woken on whichever CPU is free than only on the one it was
// kept on.
//
// The mask is written only where it differs from the one the pool last gave the thread, which
// is compared in memory. On refusal (a CPU that the thread's cgroup does not allow) the thread
// keeps the CPUs it was allowed before.
void KeepOnCpu(PoolThread& thread, const PoolPlacement& placement) {
  if (placement.keep || (thread.mask_known && CPU_EQUAL(&thread.mask, &placement.mask))) return;
  if (sched_setaffinity(thread.tid, sizeof placement.mask, &placement.mask) == 0) {
    thread.mask = placement.mask;
    thread.mask_known = true;
  }
}

// For the end of a BlockOn whose caller's mask was replaced from outside (CallerPlacement):
// gives the idle pool thread `tid`, if it is still idle, the caller's mask `own`, unless its
// own mask was set from outside too. It counts as the pool's while it is the one the pool
// last gave it, or the one the caller was `found` with (a change that came to both alike, as
// `taskset -a` or a change of the cgroup's CPUs does; the kernel shows a thread whose CPUs
// its cgroup no longer allows all of the cgroup's CPUs). A mask set from outside is kept, and
// noted as the thread's, so that the next hand-off compares with it. A thread that has taken
// another job meanwhile is placed by that job's caller; one that has ended needs nothing.
void FollowCaller(PoolState& pool, pid_t tid, const cpu_set_t& found, const cpu_set_t& own) {
  std::lock_guard lock(pool.mu);
  for (PoolThread* thread : pool.idle) {
    if (thread->tid != tid) continue;
    cpu_set_t now;
    if (sched_getaffinity(tid, sizeof now, &now) != 0) return;
    const bool still_the_pools =
        (thread->mask_known && CPU_EQUAL(&now, &thread->mask)) || CPU_EQUAL(&now, &found);
    if (!still_the_pools) {
      thread->mask = now;
      thread->mask_known = true;
      return;
    }
    PoolPlacement placement;
    placement.keep = false;
    placement.mask = own;
    KeepOnCpu(*thread, placement);
    return;
  }
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

timespec DeadlineAfter(std::chrono::nanoseconds period) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  // Far enough for any keep-alive and far from overflowing.
  constexpr std::chrono::nanoseconds kLongest = std::chrono::hours(24 * 365);
  const std::chrono::nanoseconds wait = std::min(std::max(period, {}), kLongest);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  timespec deadline;
  deadline.tv_sec = now.tv_sec + static_cast<time_t>(seconds.count());
  deadline.tv_nsec = now.tv_nsec + static_cast<long>((wait - seconds).count());
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_nsec -= 1000000000L;
    ++deadline.tv_sec;
  }
  return deadline;
}

// Sleeps as an idle thread (already in the idle list) until a submitter hands it a job,
// which is moved into `job` (true), or until the keep-alive period passes without one or the
// runtime stops: then the thread has left the idle list and `lock` holds the pool's lock for
// LeavePool (false).
bool WaitForJob(PoolState& pool, PoolThread& self, PoolJob& job,
                std::unique_lock<std::mutex>& lock) {
  const timespec deadline = DeadlineAfter(pool.keep_alive);
  if (!self.wake.Wait(&deadline)) {
    lock.lock();
    if (!self.wake.signalled()) {
      // Idle for the whole keep-alive period.
      pool.idle.erase(std::find(pool.idle.begin(), pool.idle.end(), &self));
      return false;
    }
    lock.unlock();  // a job (or the stop) came in just as the period ended
  }
  if (!self.job.run) {  // signalled without a job: the runtime stops
    lock.lock();
    return false;
  }
  job = std::move(self.job);
  self.job = PoolJob{};
  return true;
}

void RunBlocking(PoolState& pool, PoolThread& self) {
  std::unique_lock lock(pool.mu);
  // Started for a queued job; another thread that finished its job may have taken it first.
  PoolJob job;
  if (!pool.queue.empty()) {
    job = std::move(pool.queue.front());
    pool.queue.pop_front();
  }
  lock.unlock();
  while (true) {
    if (job.run) job.run();
    lock.lock();
    PoolJob next;
    if (!pool.queue.empty()) {
      next = std::move(pool.queue.front());
      pool.queue.pop_front();
    } else if (!pool.stopping) {
      // Count this thread as idle before telling the submitter that the job ended, so that
      // the submitter's next job comes back here instead of starting another thread.
      self.wake.Reset();
      pool.idle.push_back(&self);
    }
    const bool stop = !next.run && pool.stopping;
    lock.unlock();
    if (job.done) job.done();
    job = std::move(next);  // releases what the finished job captured, outside the lock
    if (job.run) continue;
    if (stop) {
      lock.lock();
      break;
    }
    if (!WaitForJob(pool, self, job, lock)) break;
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
    PoolThread self;
    self.tid = gettid();
    current_pool_thread = self.tid;
    // Published to submitters by the pool's lock, with the idle list.
    self.mask_known = !start->placement.keep;
    self.mask = start->placement.mask;
    RunBlocking(*pool, self);
  }
  return nullptr;
}

// Starts one detached thread; the caller holds pool->mu and has already counted the thread in
// pool->threads. A pool thread placed on one CPU starts there (see KeepOnCpu); otherwise it
// inherits the mask of its caller, which is the one `placement` holds where it gives its
// caller's CPUs. Returns 0 or the system's error number.
int StartThread(const std::shared_ptr<PoolState>& pool, Role role,
                PoolPlacement placement = PoolPlacement{}) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  const bool one_cpu = !placement.keep && CPU_COUNT(&placement.mask) == 1;
  if (one_cpu && pthread_attr_setaffinity_np(&attr, sizeof placement.mask, &placement.mask) != 0) {
    placement.keep = true;  // it inherits its caller's CPUs
  }
  auto start = std::make_unique<ThreadStart>(ThreadStart{pool, role, placement});
  pthread_t thread;
  rc = pthread_create(&thread, &attr, &ThreadMain, start.get());
  pthread_attr_destroy(&attr);
  if (rc == EINVAL && one_cpu) {
    // The CPU is not one this thread may use after all; start it where its caller may run.
    return StartThread(pool, role);
  }
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
  context->placement.BeforeHandOff();
  context->runtime->Submit(std::move(job), std::move(done));
}

void Wake(BlockOnContext* context, std::coroutine_handle<> handle) {
  context->ready = handle;
  context->pool_thread = current_pool_thread;
  context->wake.Signal();
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
    for (internal::PoolThread* thread : pool_->idle) thread->wake.Signal();  // without a job
    pool_->idle.clear();
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
  const internal::BlockOnContext* context = internal::CurrentBlockOn();
  const internal::PoolPlacement placement =
      context != nullptr ? context->placement.PoolThreadPlacement() : internal::OnCallersCpus();
  internal::PoolState& pool = *pool_;
  std::unique_lock lock(pool.mu);
  if (!pool.idle.empty()) {
    internal::PoolThread* thread = pool.idle.back();
    pool.idle.pop_back();
    thread->job = internal::PoolJob{std::move(job), std::move(done)};
    internal::KeepOnCpu(*thread, placement);
    // Under the lock: until it has seen the signal, the thread cannot retire and go away.
    thread->wake.Signal();
    return;
  }
  pool.queue.push_back(internal::PoolJob{std::move(job), std::move(done)});
  if (pool.threads >= pool.cap) return;  // waits in the queue, in arrival order
  ++pool.threads;
  const int rc = internal::StartThread(pool_, internal::Role::kBlocking, placement);
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
  return PoolStats{pool_->threads, pool_->idle.size(), pool_->queue.size()};
}

void Runtime::Drive(std::coroutine_handle<> root) {
  internal::BlockOnContext context{this, {}, {}, {}, 0};
  internal::ScopedBlockOn scope(&context);
  root.resume();
  while (!root.done()) {
    // Sleeps until the pool thread running the task's job signals its end: no time limit,
    // no spinning.
    context.wake.Wait(nullptr);
    context.wake.Reset();
    std::exchange(context.ready, nullptr).resume();
  }
  if (context.placement.End()) {
    internal::FollowCaller(*pool_, context.pool_thread, context.placement.found(),
                           context.placement.own());
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

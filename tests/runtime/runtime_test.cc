#include "qiv/runtime/runtime.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qiv/primitives/fault.h"
#include "qiv/runtime/os_error.h"
#include "qiv/runtime/task.h"
#include "qiv/runtime/worker_threads.h"

namespace qiv::runtime {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<Runtime> BuildRuntime(std::size_t workers, std::size_t max_blocking = 512,
                                      std::chrono::nanoseconds keep_alive = 10s) {
  RuntimeOptions options;
  options.worker_threads = workers;
  options.max_blocking_threads = max_blocking;
  options.keep_alive = keep_alive;
  auto runtime = Runtime::Build(options);
  if (!runtime.ok()) ADD_FAILURE() << OsErrorText(runtime.error());
  return std::move(*runtime);
}

// Waits (without a deadline that the test asserts on) until `condition` holds; gives up
// after a generous bound so that a broken pool fails instead of hanging the suite.
template <typename F>
bool Eventually(F condition) {
  for (int i = 0; i < 20000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return condition();
}

std::string ThreadName() {
  char name[64] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// Names of all threads of this process.
std::vector<std::string> ProcessThreadNames() {
  std::vector<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    names.push_back(name);
  }
  closedir(dir);
  return names;
}

std::size_t CountRuntimeThreads() {
  std::size_t count = 0;
  for (const std::string& name : ProcessThreadNames()) count += name == "tokio-runtime-w";
  return count;
}

// The CPUs in `set`, in ascending order, at most `limit` of them.
std::vector<int> CpusIn(const cpu_set_t& set, std::size_t limit = CPU_SETSIZE) {
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < limit; ++cpu) {
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

Task<int> Immediate(int value) { co_return value; }

Task<int> AddOnPool(int a, int b) {
  auto sum = co_await Blocking([=] { return a + b; });
  co_return sum.ok() ? *sum : -1;
}

Task<int> Chain() {
  int first = co_await AddOnPool(1, 2);
  int second = co_await AddOnPool(first, 10);
  co_return second + co_await Immediate(100);
}

TEST(Runtime, BlockOnReturnsResultsOfInlineAndPoolSteps) {
  auto runtime = BuildRuntime(1);
  EXPECT_EQ(runtime->BlockOn(Immediate(7)), 7);
  EXPECT_EQ(runtime->BlockOn(AddOnPool(2, 3)), 5);
  EXPECT_EQ(runtime->BlockOn(Chain()), 113);
}

TEST(Runtime, TaskWithoutPoolJobNeverLeavesCallingThread) {
  auto runtime = BuildRuntime(1);
  const auto caller = std::this_thread::get_id();
  auto task = [&]() -> Task<bool> { co_return std::this_thread::get_id() == caller; };
  EXPECT_TRUE(runtime->BlockOn(task()));
  EXPECT_EQ(runtime->Stats().threads, 1u);  // no pool thread was needed
}

TEST(Runtime, JobsRunOnNamedPoolThreadsAndTasksResumeOnCaller) {
  auto runtime = BuildRuntime(2);
  const auto caller = std::this_thread::get_id();
  struct Seen {
    std::string job_thread_name;
    bool job_on_caller;
    bool resumed_on_caller;
  };
  auto task = [&]() -> Task<Seen> {
    auto seen = co_await Blocking([&] {
      return Seen{ThreadName(), std::this_thread::get_id() == caller, false};
    });
    seen->resumed_on_caller = std::this_thread::get_id() == caller;
    co_return *seen;
  };
  const Seen seen = runtime->BlockOn(task());
  EXPECT_EQ(seen.job_thread_name, "tokio-runtime-w");
  EXPECT_FALSE(seen.job_on_caller);
  EXPECT_TRUE(seen.resumed_on_caller);
}

TEST(Runtime, FaultsReachTheBlockOnCallerUnchanged) {
  auto runtime = BuildRuntime(1);
  auto in_job = []() -> Task<int> {
    auto r = co_await Blocking([]() -> int { RaiseFault("fault in job"); });
    co_return r.ok() ? 1 : 2;
  };
  auto in_task = []() -> Task<void> {
    co_await AddOnPool(1, 1);
    RaiseFault("fault in task");
  };
  auto nested = [&]() -> Task<int> { co_return co_await in_job(); };
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { runtime->BlockOn(in_job()); }, "fault in job"},
      {[&] { runtime->BlockOn(in_task()); }, "fault in task"},
      {[&] { runtime->BlockOn(nested()); }, "fault in job"},
  };
  for (const auto& [run, message] : cases) {
    SCOPED_TRACE(message);
    try {
      run();
      ADD_FAILURE() << "no fault";
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.message(), message);
    }
  }
  EXPECT_EQ(runtime->BlockOn(AddOnPool(4, 4)), 8);  // the runtime is still usable
}

TEST(Runtime, OtherJobExceptionsEndTheJobWithoutResult) {
  auto runtime = BuildRuntime(1);
  auto task = []() -> Task<bool> {
    auto r = co_await Blocking([]() -> int { throw std::runtime_error("x"); });
    auto v = co_await Blocking([] { throw std::bad_alloc(); });
    co_return !r.ok() && !v.ok();
  };
  EXPECT_TRUE(runtime->BlockOn(task()));
}

TEST(Runtime, BlockingOutsideBlockOnIsAFault) {
  auto awaiter = Blocking([] { return 1; });
  EXPECT_THROW(awaiter.await_suspend(std::noop_coroutine()), Fault);
}

TEST(Runtime, PoolIsCappedAndQueuedJobsRunInArrivalOrder) {
  // One worker and two blocking threads: the third and fourth jobs must queue.
  auto runtime = BuildRuntime(1, 2);
  std::mutex mu;
  std::condition_variable cv;
  std::vector<int> started;  // guarded by mu
  int released = 0;          // guarded by mu
  auto job = [&](int id) -> Task<void> {
    auto r = co_await Blocking([&, id] {
      std::unique_lock lock(mu);
      started.push_back(id);
      cv.notify_all();
      cv.wait(lock, [&] { return released >= id; });
    });
    EXPECT_TRUE(r.ok());
  };
  std::vector<std::thread> callers;
  for (int id = 1; id <= 4; ++id) {
    callers.emplace_back([&, id] { runtime->BlockOn(job(id)); });
    // Let each job arrive before the next, so that arrival order is known. A job that has
    // its own thread counts once that thread has started it: until then it is still queued,
    // and a later job would be seen queued beside it.
    ASSERT_TRUE(Eventually([&] {
      std::lock_guard lock(mu);
      const int running = std::min(id, 2);
      return static_cast<int>(started.size()) == running &&
             static_cast<int>(runtime->Stats().queued_jobs) == id - running;
    }));
  }
  PoolStats stats = runtime->Stats();
  EXPECT_EQ(stats.threads, 3u);
  EXPECT_EQ(stats.queued_jobs, 2u);
  for (int id = 1; id <= 4; ++id) {
    {
      std::lock_guard lock(mu);
      released = id;
      cv.notify_all();
    }
    ASSERT_TRUE(Eventually([&] {
      std::lock_guard lock(mu);
      return static_cast<int>(started.size()) >= std::min(id + 2, 4);
    }));
    EXPECT_LE(runtime->Stats().threads, 3u);
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(started, (std::vector<int>{1, 2, 3, 4}));
}

TEST(Runtime, IdlePoolThreadsRetireAfterKeepAlive) {
  auto runtime = BuildRuntime(2, 512, 20ms);
  EXPECT_EQ(runtime->Stats().threads, 2u);
  auto task = [&]() -> Task<std::size_t> {
    auto threads = co_await Blocking([&] { return runtime->Stats().threads; });
    co_return *threads;
  };
  EXPECT_EQ(runtime->BlockOn(task()), 3u);
  EXPECT_TRUE(Eventually([&] { return runtime->Stats().threads == 2; }));
  EXPECT_EQ(runtime->Stats().idle_threads, 0u);
  // A job after retirement gets a fresh thread.
  EXPECT_EQ(runtime->BlockOn(AddOnPool(2, 2)), 4);
}

TEST(Runtime, IdlePoolThreadServesTheNextJob) {
  auto runtime = BuildRuntime(1);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(runtime->BlockOn(AddOnPool(i, 1)), i + 1);
  // Calls never overlap, so one pool thread served them all.
  EXPECT_EQ(runtime->Stats().threads, 2u);
}

// Runs `body` in a forked child and returns its exit code; a child that has not ended within
// `limit` is killed and reported as "hung", so that a regression fails instead of stalling.
std::string ExitOfChild(const std::function<int()>& body, std::chrono::seconds limit = 10s) {
  const pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    int code = 90;
    try {
      code = body();
    } catch (const Fault&) {
      code = 91;
    }
    _exit(code);
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return "hung";
    }
    std::this_thread::sleep_for(2ms);
  }
  if (!WIFEXITED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

// Many callers on few pool threads, with keep-alive periods that end while jobs arrive: every
// hand-off must reach its thread and every end its caller (a lost wake-up hangs the child),
// and the pool must stay within its cap and settle back to its workers.
TEST(Runtime, HandOffsUnderRacesLoseNoWakeUp) {
  struct Case {
    std::string name;
    std::size_t max_blocking;
    std::chrono::nanoseconds keep_alive;
  };
  const std::vector<Case> cases = {
      {"threads kept", 3, 10s},
      {"threads retiring as jobs arrive", 3, 50us},
      {"keep-alive of zero", 2, 0ns},
      {"one thread for all callers", 1, 10s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ExitOfChild([&] {
                auto runtime = BuildRuntime(1, c.max_blocking, c.keep_alive);
                std::atomic<int> wrong{0};
                std::atomic<std::size_t> most_threads{0};
                std::vector<std::thread> callers;
                for (int t = 0; t < 6; ++t) {
                  callers.emplace_back([&, t] {
                    for (int i = 0; i < 2000; ++i) {
                      if (runtime->BlockOn(AddOnPool(t, i)) != t + i) ++wrong;
                      if (i % 256 == 0) {
                        const std::size_t now = runtime->Stats().threads;
                        std::size_t seen = most_threads.load();
                        while (now > seen && !most_threads.compare_exchange_weak(seen, now)) {
                        }
                      }
                    }
                  });
                }
                for (auto& caller : callers) caller.join();
                if (wrong != 0) return 1;
                if (most_threads > 1 + c.max_blocking) return 2;
                if (runtime->Stats().queued_jobs != 0) return 3;
                runtime.reset();  // waits for every pool thread to end
                return 0;
              }),
              "exit 0");
  }
}

// In a series of jobs the pool thread follows its caller from CPU to CPU, so that each
// hand-off stays on one CPU.
TEST(Runtime, JobsRunOnTheCallersCpu) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  const std::vector<int> cpus = CpusIn(allowed, 3);
  if (cpus.size() < 2) GTEST_SKIP() << "needs two CPUs";
  EXPECT_EQ(ExitOfChild([&] {
              auto runtime = BuildRuntime(1);
              auto cpu_of_job = []() -> Task<int> {
                int last = -1;
                for (int i = 0; i < 3; ++i) {
                  auto cpu = co_await Blocking([] { return sched_getcpu(); });
                  last = cpu.ok() ? *cpu : -1;
                }
                co_return last;
              };
              for (int round = 0; round < 2; ++round) {
                for (int cpu : cpus) {
                  cpu_set_t one;
                  CPU_ZERO(&one);
                  CPU_SET(cpu, &one);
                  if (sched_setaffinity(0, sizeof one, &one) != 0) return 1;
                  if (runtime->BlockOn(cpu_of_job()) != cpu) return 10 + cpu;
                }
              }
              return runtime->Stats().threads == 2 ? 0 : 2;  // one pool thread served all
            }),
            "exit 0");
}

// The masks that `count` jobs ran under, on the pool threads that ran them.
Task<std::vector<cpu_set_t>> MasksOfJobs(int count) {
  std::vector<cpu_set_t> masks;
  for (int i = 0; i < count; ++i) {
    auto mask = co_await Blocking([] {
      cpu_set_t set;
      if (sched_getaffinity(0, sizeof set, &set) != 0) CPU_ZERO(&set);
      return set;
    });
    if (mask.ok()) masks.push_back(*mask);
  }
  co_return masks;
}

// A pool thread serves every caller in turn, and runs each job where that job's own caller
// may run, whatever the thread was given for the caller before: a single job on its caller's
// CPUs, the jobs of a series within them.
TEST(Runtime, JobsRunWithinTheirOwnCallersCpus) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  const std::vector<int> cpus = CpusIn(allowed, 4);
  if (cpus.size() < 4) GTEST_SKIP() << "needs four CPUs for two callers apart";
  cpu_set_t a, b;  // the masks of callers A and B
  CPU_ZERO(&a);
  CPU_ZERO(&b);
  CPU_SET(cpus[0], &a);
  CPU_SET(cpus[1], &a);
  CPU_SET(cpus[2], &b);
  CPU_SET(cpus[3], &b);
  struct Call {
    const cpu_set_t* mask;
    int jobs;
  };
  struct Case {
    std::string name;
    std::vector<Call> calls;  // one after the other, each from a thread of its own
  };
  const std::vector<Case> cases = {
      {"a single job after another caller's", {{&a, 1}, {&b, 1}, {&a, 1}}},
      // A lists, B pushes, A pushes.
      {"a single job after a series and another caller's single job", {{&a, 20}, {&b, 1}, {&a, 1}}},
      {"a series after another caller's single job", {{&b, 1}, {&a, 20}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto runtime = BuildRuntime(1);
    for (std::size_t i = 0; i < c.calls.size(); ++i) {
      SCOPED_TRACE("call " + std::to_string(i + 1));
      const Call& call = c.calls[i];
      std::vector<cpu_set_t> masks;
      bool placed = false;
      std::thread([&] {
        placed = sched_setaffinity(0, sizeof *call.mask, call.mask) == 0;
        if (placed) masks = runtime->BlockOn(MasksOfJobs(call.jobs));
      }).join();
      ASSERT_TRUE(placed);
      ASSERT_EQ(masks.size(), static_cast<std::size_t>(call.jobs));
      for (std::size_t job = 0; job < masks.size(); ++job) {
        cpu_set_t outside;
        CPU_XOR(&outside, &masks[job], call.mask);
        CPU_AND(&outside, &outside, &masks[job]);
        EXPECT_EQ(CPU_COUNT(&outside), 0)
            << "job " << job + 1 << " ran on CPU " << CpusIn(outside, 1)[0];
      }
      if (call.jobs == 1) {
        EXPECT_TRUE(CPU_EQUAL(&masks[0], call.mask));
      }
    }
    EXPECT_EQ(runtime->Stats().threads, 2u);  // one pool thread served every call
  }
}

// BlockOn may hold its thread on one CPU while it hands jobs over; the thread must leave with
// exactly the CPUs it came with, however the task ends.
TEST(Runtime, BlockOnGivesTheCallerItsCpusBack) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  const std::vector<int> cpus = CpusIn(allowed);
  if (cpus.size() < 2) GTEST_SKIP() << "needs two CPUs";
  auto runtime = BuildRuntime(1);
  auto jobs = [](int count, bool fault_at_end) -> Task<int> {
    int done = 0;
    for (int i = 0; i < count; ++i) {
      auto r = co_await Blocking([] { return 1; });
      done += r.ok() ? *r : 0;
    }
    if (fault_at_end) RaiseFault("task fault");
    co_return done;
  };
  cpu_set_t two;  // a mask of the caller's own, narrower than the process's
  CPU_ZERO(&two);
  CPU_SET(cpus[0], &two);
  CPU_SET(cpus[1], &two);
  struct Case {
    std::string name;
    const cpu_set_t* mask;
    int jobs;
    bool fault;
  };
  const std::vector<Case> cases = {
      {"one job", &allowed, 1, false},         {"two jobs", &allowed, 2, false},
      {"released once", &allowed, 65, false},  {"held again", &allowed, 200, false},
      {"two CPUs of its own", &two, 200, false}, {"task faults", &allowed, 100, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(sched_setaffinity(0, sizeof *c.mask, c.mask), 0);
    try {
      EXPECT_EQ(runtime->BlockOn(jobs(c.jobs, c.fault)), c.jobs);
      EXPECT_FALSE(c.fault);
    } catch (const Fault& fault) {
      EXPECT_TRUE(c.fault) << fault.message();
    }
    cpu_set_t after;
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&after, c.mask));
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
}

// The mask that OutsideChangeSeries sets, beside the CPU the caller is held on.
enum class NewMask {
  kOneOther,    // one other CPU
  kHeldAndOne,  // the held CPU and one more
  kEveryOther,  // every other CPU the test may use
  kApart,       // one other CPU for the caller, yet another for the pool thread
};

// What one job of OutsideChangeSeries sees and does.
struct OutsideChange {
  pid_t caller = 0;
  int change_at = 0;         // the job (from 1) that changes the mask; 0 for none
  NewMask kind = NewMask::kOneOther;  // the mask it sets
  std::vector<int> cpus;     // the CPUs the test may use
  cpu_set_t mask;            // the mask set from outside
  cpu_set_t pool_mask;       // the one set on the pool thread that made the change
  int later_mismatches = 0;  // later jobs that found the caller on another mask
  pid_t pool_thread = 0;     // the thread that ran the last job
};

// Job `change_at` does what an operator's `taskset -a -p -c ...` does: it gives the caller
// and itself (a runtime thread too) a mask other than the one the caller is held on.
Task<int> OutsideChangeSeries(int count, OutsideChange* change) {
  for (int i = 1; i <= count; ++i) {
    co_await Blocking([change, i] {
      cpu_set_t now;
      if (sched_getaffinity(change->caller, sizeof now, &now) != 0) return;
      change->pool_thread = gettid();
      if (i == change->change_at) {
        int held_cpu = -1;  // none while the caller is let go
        for (int cpu : change->cpus) {
          if (CPU_COUNT(&now) == 1 && CPU_ISSET(cpu, &now)) held_cpu = cpu;
        }
        CPU_ZERO(&change->mask);
        for (int cpu : change->cpus) {
          if (cpu != held_cpu) {
            CPU_SET(cpu, &change->mask);
            if (change->kind != NewMask::kEveryOther) break;
          }
        }
        if (change->kind == NewMask::kHeldAndOne && held_cpu >= 0) {
          CPU_SET(held_cpu, &change->mask);
        }
        change->pool_mask = change->mask;
        if (change->kind == NewMask::kApart) {
          CPU_ZERO(&change->pool_mask);
          for (int cpu : change->cpus) {
            if (cpu != held_cpu && !CPU_ISSET(cpu, &change->mask)) {
              CPU_SET(cpu, &change->pool_mask);
              break;
            }
          }
        }
        sched_setaffinity(change->caller, sizeof change->mask, &change->mask);
        sched_setaffinity(0, sizeof change->pool_mask, &change->pool_mask);
      } else if (change->change_at > 0 && i > change->change_at &&
                 !CPU_EQUAL(&now, &change->mask)) {
        ++change->later_mismatches;
      }
    });
  }
  co_return count;
}

// A mask given to the caller from outside while BlockOn holds it on one CPU (an operator's
// taskset, a cpuset change) is the caller's from then on: BlockOn neither puts its old mask
// back over it nor holds the caller again, at the let-go every 64 jobs or at the end, and the
// pool thread that ran the last job leaves with the same mask, or with the one set on it from
// outside in that job. The next call takes the caller's mask as its own.
TEST(Runtime, BlockOnLeavesAMaskSetFromOutside) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  const std::vector<int> cpus = CpusIn(allowed);
  if (cpus.size() < 2) GTEST_SKIP() << "needs two CPUs";
  cpu_set_t two;  // a mask of the caller's own, narrower than the process's
  CPU_ZERO(&two);
  CPU_SET(cpus[0], &two);
  CPU_SET(cpus[1], &two);
  auto runtime = BuildRuntime(1);
  struct Case {
    std::string name;
    int jobs;
    int change_at;
    NewMask kind;
    const cpu_set_t* own = nullptr;  // the caller's mask before the call; the process's if null
  };
  const std::vector<Case> cases = {
      {"while held", 30, 10, NewMask::kOneOther},
      {"just before the let-go", 100, 63, NewMask::kOneOther},
      {"while let go", 100, 64, NewMask::kOneOther},
      {"after being held again", 150, 100, NewMask::kOneOther},
      {"in the last job", 70, 70, NewMask::kOneOther},
      {"the held CPU and one more", 100, 20, NewMask::kHeldAndOne},
      // The caller wakes on another CPU of the new mask, and the hand-offs until the end keep
      // the pool thread on that one CPU.
      {"every other CPU, while held to the end", 30, 10, NewMask::kEveryOther},
      // A mask without the held CPU that reaches past the caller's own is kept whole.
      {"every other CPU, wider than the caller's own", 30, 10, NewMask::kEveryOther, &two},
      {"every other CPU, wider than the caller's own, in the last job", 30, 30,
       NewMask::kEveryOther, &two},
      // The pool thread keeps a mask of its own set in the last job.
      {"caller and pool thread apart, in the last job", 30, 30, NewMask::kApart},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Masks of two CPUs or more, or two masks beside the held CPU, need a third.
    if (c.kind != NewMask::kOneOther && c.kind != NewMask::kHeldAndOne && cpus.size() < 3) {
      continue;
    }
    const cpu_set_t& own = c.own != nullptr ? *c.own : allowed;
    ASSERT_EQ(sched_setaffinity(0, sizeof own, &own), 0);
    OutsideChange change;
    change.caller = gettid();
    change.change_at = c.change_at;
    change.kind = c.kind;
    change.cpus = cpus;
    EXPECT_EQ(runtime->BlockOn(OutsideChangeSeries(c.jobs, &change)), c.jobs);
    cpu_set_t after;
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&after, &change.mask));
    EXPECT_EQ(change.later_mismatches, 0);
    cpu_set_t pool;
    ASSERT_EQ(sched_getaffinity(change.pool_thread, sizeof pool, &pool), 0);
    EXPECT_TRUE(CPU_EQUAL(&pool, &change.pool_mask)) << CPU_COUNT(&pool) << " CPUs";

    OutsideChange none;  // an ordinary series, now on the outside mask
    none.caller = gettid();
    none.mask = change.mask;
    EXPECT_EQ(runtime->BlockOn(OutsideChangeSeries(100, &none)), 100);
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&after, &change.mask));
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
}

// The count once threads of earlier tests, which have left their pools, are gone from the OS.
std::size_t SettledRuntimeThreadCount() {
  std::size_t count = CountRuntimeThreads();
  for (int i = 0; i < 200; ++i) {
    std::this_thread::sleep_for(20ms);
    const std::size_t next = CountRuntimeThreads();
    if (next == count) break;
    count = next;
  }
  return count;
}

TEST(Runtime, DestroyingARuntimeEndsItsThreads) {
  const std::size_t before = SettledRuntimeThreadCount();
  {
    auto runtime = BuildRuntime(3);
    EXPECT_EQ(runtime->BlockOn(AddOnPool(1, 1)), 2);
    EXPECT_TRUE(Eventually([&] { return CountRuntimeThreads() == before + 4; }));
  }
  EXPECT_TRUE(Eventually([&] { return CountRuntimeThreads() == before; }));
}

TEST(Runtime, BuildReportsTheRefusedResourceAndStartsNoThread) {
  const std::size_t before = SettledRuntimeThreadCount();
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Leave no descriptor free: the lowest free one becomes the limit.
  const int lowest_free = fcntl(0, F_DUPFD, 0);
  ASSERT_GE(lowest_free, 0);
  close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  RuntimeOptions options;
  options.worker_threads = 2;
  auto built = Runtime::Build(options);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_FALSE(built.ok());
  EXPECT_EQ(built.error(), EMFILE);
  EXPECT_EQ(CountRuntimeThreads(), before);
}

TEST(ParseWorkerThreads, ReadsTheVariable) {
  struct Case {
    std::string value;
    std::optional<std::size_t> count;
    std::string message;
  };
  const std::string name = "\"TOKIO_WORKER_THREADS\"";
  const std::vector<Case> cases = {
      {"4", 4, ""},
      {"+4", 4, ""},
      {"1", 1, ""},
      {"007", 7, ""},
      {"18446744073709551615", 18446744073709551615u, ""},
      {"0", std::nullopt, name + " cannot be set to 0"},
      {"+0", std::nullopt, name + " cannot be set to 0"},
      {"000", std::nullopt, name + " cannot be set to 0"},
      {"", std::nullopt, name + " must be usize, error: cannot parse integer from empty string, value: "},
      {"abc", std::nullopt, name + " must be usize, error: invalid digit found in string, value: abc"},
      {"+", std::nullopt, name + " must be usize, error: invalid digit found in string, value: +"},
      {" 4", std::nullopt, name + " must be usize, error: invalid digit found in string, value:  4"},
      {"4 ", std::nullopt, name + " must be usize, error: invalid digit found in string, value: 4 "},
      {"-4", std::nullopt, name + " must be usize, error: invalid digit found in string, value: -4"},
      {"++4", std::nullopt, name + " must be usize, error: invalid digit found in string, value: ++4"},
      {"18446744073709551616", std::nullopt,
       name + " must be usize, error: number too large to fit in target type, value: "
              "18446744073709551616"},
      {"99999999999999999999x", std::nullopt,
       name + " must be usize, error: number too large to fit in target type, value: "
              "99999999999999999999x"},
      {"\xd9\xa3", std::nullopt,
       name + " must be usize, error: invalid digit found in string, value: \xd9\xa3"},
      {"4\xff", std::nullopt, name + " must be valid unicode, error: \"4\\xFF\""},
      {"\xe2\x82x\"", std::nullopt, name + " must be valid unicode, error: \"\\xE2\\x82x\\\"\""},
      {"\xed\xa0\x80", std::nullopt, name + " must be valid unicode, error: \"\\xED\\xA0\\x80\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("value: " + c.value);
    auto parsed = ParseWorkerThreads(c.value.c_str());
    if (c.count) {
      ASSERT_TRUE(parsed.ok()) << parsed.error();
      EXPECT_EQ(*parsed, *c.count);
    } else {
      ASSERT_FALSE(parsed.ok());
      EXPECT_EQ(parsed.error(), c.message);
    }
  }
  auto unset = ParseWorkerThreads(nullptr);
  ASSERT_TRUE(unset.ok());
  EXPECT_EQ(*unset, AvailableProcessors());
  EXPECT_GE(AvailableProcessors(), 1u);
}

TEST(OsError, TextForms) {
  EXPECT_EQ(OsErrorText(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(OsErrorDebug(EMFILE),
            "Os { code: 24, kind: Uncategorized, message: \"Too many open files\" }");
  EXPECT_EQ(OsErrorDebug(EAGAIN),
            "Os { code: 11, kind: WouldBlock, message: \"Resource temporarily unavailable\" }");
  EXPECT_EQ(OsErrorKindName(EPERM), "PermissionDenied");
  EXPECT_EQ(OsErrorKindName(ENOMEM), "OutOfMemory");
}

// The only test that touches the process-wide runtime: a bad variable fails the build and
// leaves it unbuilt; the corrected variable then builds it, once.
TEST(BindingRuntime, FailedBuildIsRetriedAndTheRuntimeIsKept) {
  const std::size_t before = SettledRuntimeThreadCount();
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"0", "\"TOKIO_WORKER_THREADS\" cannot be set to 0"},
      {"abc", "\"TOKIO_WORKER_THREADS\" must be usize, error: invalid digit found in string, "
              "value: abc"},
      {"", "\"TOKIO_WORKER_THREADS\" must be usize, error: cannot parse integer from empty "
           "string, value: "},
  };
  for (const auto& [value, message] : bad) {
    SCOPED_TRACE(value);
    setenv("TOKIO_WORKER_THREADS", value.c_str(), 1);
    try {
      BindingRuntime();
      ADD_FAILURE() << "built with a bad worker count";
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.message(), message);
    }
    EXPECT_EQ(CountRuntimeThreads(), before);
  }
  setenv("TOKIO_WORKER_THREADS", "2", 1);
  Runtime& runtime = BindingRuntime();
  EXPECT_EQ(runtime.worker_threads(), 2u);
  EXPECT_TRUE(Eventually([&] { return CountRuntimeThreads() == before + 2; }));
  setenv("TOKIO_WORKER_THREADS", "0", 1);  // read at build time only
  EXPECT_EQ(&BindingRuntime(), &runtime);
  EXPECT_EQ(runtime.BlockOn(AddOnPool(20, 22)), 42);
  unsetenv("TOKIO_WORKER_THREADS");
}

TEST(BindingRuntime, ConcurrentFirstCallersShareOneRuntime) {
  std::vector<Runtime*> seen(4);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &BindingRuntime(); });
  for (auto& t : threads) t.join();
  for (Runtime* r : seen) EXPECT_EQ(r, seen[0]);
}

// In the child: the process-wide runtime is a new one with its own workers and pool, and a job
// runs on it. Exit codes name the first check that failed.
int UseBindingRuntimeInChild(const Runtime* parents) {
  Runtime& runtime = BindingRuntime();
  if (runtime.BlockOn(AddOnPool(40, 2)) != 42) return 10;
  // Only the forking thread came along: the runtime threads are the child's own two workers
  // and one pool thread.
  if (!Eventually([] { return CountRuntimeThreads() == 3; })) return 11;
  if (&runtime == parents || runtime.worker_threads() != 2) return 12;
  if (&BindingRuntime() != &runtime) return 13;
  return 0;
}

TEST(BindingRuntime, ForkedChildBuildsItsOwnRuntime) {
  setenv("TOKIO_WORKER_THREADS", "2", 1);
  Runtime& parents = BindingRuntime();
  // Another parent thread, parked at the moment of the fork inside what `enter` makes it do.
  std::mutex mu;
  std::condition_variable cv;
  bool parked = false;   // guarded by mu
  bool release = false;  // guarded by mu
  std::thread busy;
  const auto park = [&] {
    std::unique_lock lock(mu);
    parked = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  };
  const auto start_busy = [&](std::function<void()> enter) {
    return [&, enter] {
      busy = std::thread(enter);
      std::unique_lock lock(mu);
      cv.wait(lock, [&] { return parked; });
    };
  };
  const auto stop_busy = [&] {
    {
      std::lock_guard lock(mu);
      release = true;
      cv.notify_all();
    }
    busy.join();
  };
  struct Case {
    std::string parent_state;
    std::function<void()> before_fork;
    std::function<void()> after_fork;
  };
  const std::vector<Case> cases = {
      {"right after a job", [&] { parents.BlockOn(AddOnPool(1, 1)); }, nullptr},
      {"pool thread idle",
       [&] {
         parents.BlockOn(AddOnPool(1, 1));
         ASSERT_TRUE(Eventually([&] { return parents.Stats().idle_threads == 1; }));
       },
       nullptr},
      {"another thread waiting for its job",
       start_busy([&] {
         auto task = [&]() -> Task<void> { co_await Blocking(park); };
         parents.BlockOn(task());
       }),
       stop_busy},
      {"another thread holding the build guard",
       start_busy([&] {
         std::unique_lock guard(internal::BindingBuildGuard());
         park();
       }),
       stop_busy},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parent_state);
    parked = false;
    release = false;
    c.before_fork();
    EXPECT_EQ(ExitOfChild([&] { return UseBindingRuntimeInChild(&parents); }), "exit 0");
    if (c.after_fork) c.after_fork();
    // The parent keeps its runtime and its threads.
    EXPECT_EQ(&BindingRuntime(), &parents);
    EXPECT_EQ(parents.BlockOn(AddOnPool(2, 3)), 5);
  }
  unsetenv("TOKIO_WORKER_THREADS");
}

TEST(Runtime, RuntimeOfTheParentFaultsInAForkedChild) {
  auto runtime = BuildRuntime(1, 512, 20ms);
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"right after a job", [&] { runtime->BlockOn(AddOnPool(1, 1)); }},
      {"pool thread idle",
       [&] {
         runtime->BlockOn(AddOnPool(1, 1));
         ASSERT_TRUE(Eventually([&] { return runtime->Stats().idle_threads == 1; }));
       }},
      {"after the keep-alive ended",
       [&] {
         runtime->BlockOn(AddOnPool(1, 1));
         ASSERT_TRUE(Eventually([&] { return runtime->Stats().threads == 1; }));
       }},
  };
  for (const auto& [parent_state, before_fork] : cases) {
    SCOPED_TRACE(parent_state);
    before_fork();
    EXPECT_EQ(ExitOfChild([&] {
                try {
                  runtime->BlockOn(AddOnPool(1, 1));
                  return 20;
                } catch (const Fault& fault) {
                  if (fault.message() !=
                      "the runtime was built before this process was forked; use it in the "
                      "parent") {
                    return 21;
                  }
                }
                runtime.reset();  // leaves the parent's threads alone instead of waiting
                return 0;
              }),
              "exit 0");
    EXPECT_EQ(runtime->BlockOn(AddOnPool(2, 3)), 5);
  }
}

}  // namespace
}  // namespace qiv::runtime

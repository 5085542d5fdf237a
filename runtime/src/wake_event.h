// WakeEvent: one thread sleeps until another signals it, with a futex word and nothing else.
//
// The hand-offs of the runtime (a job to an idle pool thread, a finished job back to the
// thread in BlockOn) each have exactly one waiter and one signaller per round. A mutex and a
// condition variable cost about three futex calls per round, and the signaller's notify under
// the lock can wake the waiter only for it to block on that lock. Here the signaller makes
// one store, plus one wake call only when the waiter is really asleep; the waiter sleeps in
// the kernel without spinning.
//
//   WakeEvent event;                      // not signalled
//   // waiter:                            // signaller:
//   event.Wait(nullptr);                  event.Signal();
//   event.Reset();                        // before the next round
//
// Thread-safe for one waiter and any number of signallers per round.
#ifndef QIV_RUNTIME_WAKE_EVENT_H_
#define QIV_RUNTIME_WAKE_EVENT_H_

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace qiv::runtime::internal {

class WakeEvent {
 public:
  WakeEvent() = default;
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  // Sleeps until the event is signalled (true) or the CLOCK_MONOTONIC time `deadline` has
  // passed (false); a null deadline waits without limit. Returns at once when already
  // signalled. Only one thread may wait at a time.
  bool Wait(const timespec* deadline) {
    while (true) {
      std::uint32_t seen = kClear;
      // Announce the sleep, so that the signaller knows it must call into the kernel.
      if (state_.compare_exchange_strong(seen, kSleeping, std::memory_order_acquire) ||
          seen == kSleeping) {
        const long rc = syscall(SYS_futex, Word(), FUTEX_WAIT_BITSET_PRIVATE, kSleeping,
                                deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
        if (rc != 0 && errno == ETIMEDOUT) {
          // The signal may have come in just now; it counts.
          seen = kSleeping;
          if (state_.compare_exchange_strong(seen, kClear, std::memory_order_acquire)) {
            return false;
          }
          return true;  // seen == kSignalled
        }
        continue;  // woken, interrupted or raced: look again
      }
      return true;  // seen == kSignalled
    }
  }

  // Wakes the waiter, or lets its next Wait return at once. What the signaller wrote before
  // is visible to the waiter after its Wait. The waiter may destroy the event as soon as it
  // sees the signal, so the wake call may name memory that is gone; the kernel then wakes
  // nobody, or a sleeper on a reused address, and every futex sleeper re-checks its word.
  void Signal() {
    if (state_.exchange(kSignalled, std::memory_order_release) == kSleeping) {
      syscall(SYS_futex, Word(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
  }

  // Clears a signal that Wait has returned, before the next round. Only the waiter calls it.
  void Reset() { state_.store(kClear, std::memory_order_relaxed); }

  bool signalled() const { return state_.load(std::memory_order_acquire) == kSignalled; }

 private:
  static constexpr std::uint32_t kClear = 0;
  static constexpr std::uint32_t kSleeping = 1;
  static constexpr std::uint32_t kSignalled = 2;

  std::uint32_t* Word() { return reinterpret_cast<std::uint32_t*>(&state_); }

  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

  std::atomic<std::uint32_t> state_{kClear};
};

}  // namespace qiv::runtime::internal

#endif  // QIV_RUNTIME_WAKE_EVENT_H_

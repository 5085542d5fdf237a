// Task<T>: a lazily started coroutine that yields one T, driven by Runtime::BlockOn.
//
// A task does nothing until it is awaited or handed to BlockOn. Inside a task, `co_await`
// another Task to run it to its end, or `co_await Blocking(fn)` (runtime.h) to run a blocking
// call on a pool thread. Every resumption of a task happens on the thread that called BlockOn,
// so a task may borrow whatever that thread's caller holds.
//
//   Task<int> Answer() { co_return 42; }
//   Task<int> Twice() { co_return 2 * co_await Answer(); }
//   int v = runtime.BlockOn(Twice());   // 84
//
// An exception (a qiv::Fault) escaping a task's body is kept and rethrown where the task is
// awaited, or by BlockOn.
//
// A Task is owned by one thread at a time and is not thread-safe; it is move-only.
#ifndef QIV_RUNTIME_TASK_H_
#define QIV_RUNTIME_TASK_H_

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace qiv::runtime {

template <typename T>
class Task;

namespace internal {

class PromiseBase {
 public:
  // Resumes whoever awaited the task; the top-level task returns control to BlockOn.
  struct FinalAwaiter {
    bool await_ready() const noexcept { return false; }
    template <typename P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> self) noexcept {
      std::coroutine_handle<> next = self.promise().continuation_;
      return next ? next : std::noop_coroutine();
    }
    void await_resume() const noexcept {}
  };

  std::suspend_always initial_suspend() const noexcept { return {}; }
  FinalAwaiter final_suspend() const noexcept { return {}; }
  void unhandled_exception() noexcept { error_ = std::current_exception(); }

  void set_continuation(std::coroutine_handle<> continuation) { continuation_ = continuation; }

 protected:
  void RethrowIfFailed() {
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  }

 private:
  std::coroutine_handle<> continuation_;
  std::exception_ptr error_;
};

template <typename T>
class TaskPromise : public PromiseBase {
 public:
  Task<T> get_return_object() noexcept;
  void return_value(T value) { value_.emplace(std::move(value)); }
  T TakeResult() {
    RethrowIfFailed();
    return std::move(*value_);
  }

 private:
  std::optional<T> value_;
};

template <>
class TaskPromise<void> : public PromiseBase {
 public:
  Task<void> get_return_object() noexcept;
  void return_void() noexcept {}
  void TakeResult() { RethrowIfFailed(); }
};

}  // namespace internal

template <typename T>
class [[nodiscard]] Task {
 public:
  using promise_type = internal::TaskPromise<T>;

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      if (handle_) handle_.destroy();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }

  // Awaiting a task starts it and resumes the awaiting coroutine when it ends.
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().set_continuation(awaiting);
    return handle_;
  }
  T await_resume() { return handle_.promise().TakeResult(); }

 private:
  friend class internal::TaskPromise<T>;
  friend class Runtime;

  explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}

  std::coroutine_handle<promise_type> handle_;
};

namespace internal {

template <typename T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}

inline Task<void> TaskPromise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<TaskPromise<void>>::from_promise(*this));
}

}  // namespace internal

}  // namespace qiv::runtime

#endif  // QIV_RUNTIME_TASK_H_

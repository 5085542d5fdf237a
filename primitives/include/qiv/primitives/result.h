// Result<T, E>: the value of an operation that can fail in an expected way.
//
// Errors between layers are values, never exceptions: every concern has its own small error
// type (JsonError, VerifyError, QueueError, AnchorError...) and returns it in a Result. The
// only exception type is qiv::Fault (fault.h), for broken invariants.
//
//   Result<int, ParseError> ParseCount(std::string_view text);
//   auto count = ParseCount(text);
//   if (!count.ok()) return Err(count.error());
//   Use(*count);
//
// A Result is a plain value type; it is as thread-safe as the T and E it holds.
#ifndef QIV_PRIMITIVES_RESULT_H_
#define QIV_PRIMITIVES_RESULT_H_

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace qiv {

// Wraps an error so that Result's constructor can tell it from a value, even when T and E
// are the same type.
template <typename E>
struct ErrValue {
  E error;
};

template <typename E>
ErrValue<std::decay_t<E>> Err(E&& error) {
  return ErrValue<std::decay_t<E>>{std::forward<E>(error)};
}

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <typename F, typename = std::enable_if_t<std::is_convertible_v<F, E>>>
  Result(ErrValue<F> err) : v_(std::in_place_index<1>, E(std::move(err.error))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

// Result of an operation that yields nothing on success.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <typename F, typename = std::enable_if_t<std::is_convertible_v<F, E>>>
  Result(ErrValue<F> err) : error_(E(std::move(err.error))) {}  // NOLINT

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  E& error() & { return *error_; }
  const E& error() const& { return *error_; }
  E&& error() && { return std::move(*error_); }

 private:
  std::optional<E> error_;
};

}  // namespace qiv

// Evaluates `expr` (a Result); on failure returns its error from the enclosing function.
#define QIV_RETURN_IF_ERROR(expr)                      \
  do {                                                 \
    auto&& qiv_result_ = (expr);                       \
    if (!qiv_result_.ok()) {                           \
      return ::qiv::Err(std::move(qiv_result_).error()); \
    }                                                  \
  } while (0)

#endif  // QIV_PRIMITIVES_RESULT_H_

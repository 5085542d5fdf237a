// Force-included into every file of the fuzzing build (see tests/fuzz/CMakeLists.txt).
//
// clang 14 lacks __builtin_source_location, so libstdc++ 12's <source_location> declares
// nothing under it and fault.h does not compile. This supplies the same interface from the
// older builtins, which clang 14 evaluates at the caller when used as default arguments. Any
// toolchain whose library has the real type skips it.
#ifndef QIV_TESTS_FUZZ_COMPAT_SOURCE_LOCATION_H_
#define QIV_TESTS_FUZZ_COMPAT_SOURCE_LOCATION_H_

#ifdef __cplusplus
#include <source_location>

#if !defined(__cpp_lib_source_location)
#include <cstdint>

namespace std {

struct source_location {
  static constexpr source_location current(const char* file = __builtin_FILE(),
                                           const char* function = __builtin_FUNCTION(),
                                           std::uint_least32_t line = __builtin_LINE(),
                                           std::uint_least32_t column = __builtin_COLUMN()) noexcept {
    source_location where;
    where.file_ = file;
    where.function_ = function;
    where.line_ = line;
    where.column_ = column;
    return where;
  }

  constexpr source_location() noexcept = default;
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }
  constexpr std::uint_least32_t column() const noexcept { return column_; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  std::uint_least32_t line_ = 0;
  std::uint_least32_t column_ = 0;
};

}  // namespace std

#endif  // !__cpp_lib_source_location
#endif  // __cplusplus

#endif  // QIV_TESTS_FUZZ_COMPAT_SOURCE_LOCATION_H_

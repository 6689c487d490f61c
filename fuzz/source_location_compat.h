// Lets the core build with clang 14, the compiler whose libFuzzer Debian
// ships, on top of libstdc++ 12: that pairing leaves std::source_location
// undefined because clang 14 lacks __builtin_source_location. The stand-in
// below offers the same members from the older builtins and is used only by
// the fuzz build (forced in with -include); every other build uses the real
// one.

#ifndef QUORVEL_FUZZ_SOURCE_LOCATION_COMPAT_H_
#define QUORVEL_FUZZ_SOURCE_LOCATION_COMPAT_H_

#include <source_location>

#if !defined(__cpp_lib_source_location)
#include <cstdint>

namespace std {

struct source_location {
  // The call site of the caller, through the default arguments.
  static constexpr source_location current(
      const char* file = __builtin_FILE(),
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
#endif  // QUORVEL_FUZZ_SOURCE_LOCATION_COMPAT_H_

// Forced into every unit of the fuzz build (scripts/fuzz-build). clang 14
// lacks __builtin_source_location, so libstdc++'s <source_location> declares
// nothing under it; this gives the same interface from the builtins clang 14
// has. Compilers that have the builtin get the standard header unchanged.
#pragma once
#if defined(__clang__) && !__has_builtin(__builtin_source_location)
namespace std {
struct source_location {
  static constexpr source_location current(
      const char *file = __builtin_FILE(),
      const char *function = __builtin_FUNCTION(),
      unsigned line = __builtin_LINE(),
      unsigned column = __builtin_COLUMN()) noexcept {
    source_location where;
    where.file_ = file;
    where.function_ = function;
    where.line_ = line;
    where.column_ = column;
    return where;
  }
  constexpr source_location() noexcept = default;
  constexpr const char *file_name() const noexcept { return file_; }
  constexpr const char *function_name() const noexcept { return function_; }
  constexpr unsigned line() const noexcept { return line_; }
  constexpr unsigned column() const noexcept { return column_; }

 private:
  const char *file_ = "";
  const char *function_ = "";
  unsigned line_ = 0;
  unsigned column_ = 0;
};
}  // namespace std
#endif

#pragma once
// A stop: a violated precondition or a broken invariant. It unwinds to the binding layer, which
// reports it on standard error with its source location and raises pyo3_runtime.PanicException.

#include <cstddef>
#include <source_location>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

namespace morvane {

class Panic : public std::runtime_error {
 public:
  Panic(std::string message, std::source_location where) : std::runtime_error(std::move(message)), where_(where) {}
  const std::source_location& where() const { return where_; }

 private:
  std::source_location where_;
};

[[noreturn]] void panic(std::string message, std::source_location where = std::source_location::current());

/// Stops with the standard "index out of bounds" message unless `index < len`.
inline void check_index(size_t len, size_t index, std::source_location where = std::source_location::current()) {
  if (index >= len) [[unlikely]]
    panic(fmt::format("index out of bounds: the len is {} but the index is {}", len, index), where);
}

/// "assertion failed: <text>" stop.
#define MORVANE_ASSERT(cond)                        \
  do {                                              \
    if (!(cond)) [[unlikely]]                       \
      ::morvane::panic("assertion failed: " #cond); \
  } while (0)

}  // namespace morvane

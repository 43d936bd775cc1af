#pragma once
// Turns file errors into Python exceptions, for every binding that reads or writes a file: each
// runs its file operations inside with_file_errors. An OSError is made from the message alone (so
// str() is the message), as the subclass of its error number (FileNotFoundError, PermissionError,
// IsADirectoryError, ...), with `errno` set.

#include <pybind11/pybind11.h>

#include <utility>

#include "morvane/core/file.h"

namespace morvane {

/// Raises a FileError in Python: OSError (IOError) when a file cannot be created or opened, as
/// the subclass of its error number and with `errno` set (str() is the message alone),
/// ValueError when its contents cannot be encoded, decoded or written.
[[noreturn]] void raise_file_error(const FileError& e);

/// Runs `f`, raising its FileError as raise_file_error does; stops and other errors pass through.
template <typename F>
decltype(auto) with_file_errors(F&& f) {
  try {
    return std::forward<F>(f)();
  } catch (const FileError& e) {
    raise_file_error(e);
  }
}

}  // namespace morvane

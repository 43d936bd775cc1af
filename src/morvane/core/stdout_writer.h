#pragma once
// Progress lines go straight to file descriptor 1, past every buffer of C, C++ and Python, so they
// appear in order with whatever else the process writes there.

#include <string_view>

namespace morvane {

/// Writes a whole text to file descriptor 1, retrying after interrupts. A closed or failing
/// standard output is ignored: progress is not worth a failure.
void write_stdout(std::string_view text);

}  // namespace morvane

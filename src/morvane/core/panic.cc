#include "morvane/core/panic.h"

namespace morvane {

void panic(std::string message, std::source_location where) { throw Panic(std::move(message), where); }

}  // namespace morvane

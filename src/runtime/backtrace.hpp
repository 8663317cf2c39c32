// Stack traces for the failure report.
#pragma once

#include <string>

namespace velqor {

// Formats the calling thread's stack, one frame per line, with demangled
// function names. With `full` false the frames of the panic machinery itself
// (everything from this call up to the frame that raised the panic) are left out.
std::string format_backtrace(bool full);

}  // namespace velqor

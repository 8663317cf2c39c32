// How the pool's own machinery fails: anything that escapes it outside a
// job's work ends the process, since a half-finished queue operation or wait
// cannot be unwound safely. Any pool file may call it, from any thread.
#pragma once

#include "runtime/contract.hpp"
#include "runtime/panic.hpp"

namespace velqor::pool::detail {

// Writes the pool's fixed abort line and terminates the process.
[[noreturn]] inline void unexpected_failure() noexcept { fatal_error(msg::kPoolUnexpectedPanic); }

}  // namespace velqor::pool::detail

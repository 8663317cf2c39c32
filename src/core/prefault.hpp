// Faulting a new mapping's pages in before it is handed out, on the pool
// when it is up. Called by the storage (buffer.cpp) on the thread that asked
// for the memory; blocks until every page is in.
#pragma once

#include <cstddef>

namespace velqor {

// Faults the pages of [base, base + length) in, so the memory is really there
// when the vector is handed out (and counted as used by the next request's
// check), and a refusal surfaces here instead of as a killed process later.
// The pool's workers share the work when the pool is up (first touches are
// slow, and a vector of several GiB would otherwise take seconds more); a
// register is never what starts the pool, so without one the calling thread
// does it. Returns false when the system refused the pages.
bool populate(char* base, std::size_t length);

}  // namespace velqor

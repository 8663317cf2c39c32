// The fork registry: the one place that hooks fork(), and the one order in
// which the process-wide concerns act at a fork.
//
// Prepare handlers run in Stage order, in the forking thread, before the
// fork; parent and child handlers run in the reverse order after it, so that
// locks taken in the prepare phase are let go innermost first. The order:
//
//  1. kHostGuard takes the fork guard exclusively (host.cpp): it waits until
//     every call that let go of the host lock has finished its released work.
//     It must come before kRegisterWaits: released work holds the guard
//     shared while it takes the wait lock (a call marks its borrow released
//     under the wait lock after it took the guard), so a fork that held the
//     wait lock while it waited for the guard would never get it.
//  2. kPool does nothing before the fork (the pool takes no lock for it); the
//     child abandons the parent's pool record, whose threads it lacks, and
//     creates a fresh pool on its next loop.
//  3. kRegisterWaits takes the wait lock (py/register_borrow.cpp), so that no
//     register's line is half updated at the fork; the child gives back every
//     borrow but the forking thread's own and rebuilds the lock.
//  4. kRandomLineage counts the fork (it takes no lock, so its place among the
//     prepare handlers is free; last, it counts only forks that got past the
//     waits above); the child derives its seed lineage and has every
//     generator rekey before its next draw.
//
// The child handlers only reset state that nothing else touches, so among
// them the reverse order is kept for symmetry, not for a dependency.
//
// Who may call: any thread, any time; enlisting is a store of three function
// pointers and, on the first call, the one pthread_atfork. Nothing blocks but
// that first call. The handlers themselves must not throw.
#pragma once

#include <cstddef>

namespace velqor::fork {

// The concerns that act at a fork, in the order their prepare handlers run.
enum class Stage : std::size_t { kHostGuard, kPool, kRegisterWaits, kRandomLineage, kCount };

// What one concern does around a fork; any of the three may be null.
struct Handlers {
    void (*prepare)() noexcept = nullptr;
    void (*parent)() noexcept = nullptr;
    void (*child)() noexcept = nullptr;
};

// Sets the handlers of `stage` (a later call for the same stage replaces
// them). Returns 0, or the system error of the registry's one pthread_atfork
// when it could not be made (ENOMEM when memory was refused); the handlers
// then never run, and the next call tries again.
int enlist(Stage stage, Handlers handlers) noexcept;

namespace test_hooks {

// Replaces the handlers of `stage` for a test of the order, returning the
// ones before; the registry is made first, as by enlist().
Handlers swap(Stage stage, Handlers handlers) noexcept;

}  // namespace test_hooks

}  // namespace velqor::fork

#include "runtime/host.hpp"

#include <shared_mutex>

#include "runtime/fork.hpp"
#include "runtime/never_destroyed.hpp"

namespace velqor::host {
namespace {

// The fork guard: held shared by released work, exclusively by fork(). It is
// never destroyed (released work may still run on a daemon thread while the
// process exits), and a forked child gets a fresh one: the parent's was held
// by the forking thread and may count waiters that the child does not have.
NeverDestroyed<std::shared_mutex> g_fork_guard;

std::shared_mutex& fork_guard() noexcept { return g_fork_guard.get(); }

void before_fork() noexcept { fork_guard().lock(); }
void after_fork_in_parent() noexcept { fork_guard().unlock(); }
void after_fork_in_child() noexcept { g_fork_guard.rebuild(); }

// Enlists the guard's fork handlers (fork.hpp's first stage), once; false
// when they could not be enlisted (then nothing is ever released).
bool guard_ready() noexcept {
    static const bool ready =
        fork::enlist(fork::Stage::kHostGuard, {&before_fork, &after_fork_in_parent, &after_fork_in_child}) == 0;
    return ready;
}

// The innermost open call of this thread. Initial-exec, as every thread-local
// of the module: it comes with the thread, so a thread that has started never
// needs memory for it.
thread_local Call* t_call = nullptr;

}  // namespace

Call::Call(Lock& lock) noexcept : lock_(&lock), outer_(t_call) { t_call = this; }

Call::~Call() {
    if (released_) fork_guard().unlock_shared();
    t_call = outer_;
}

void Call::reacquire() {
    if (!released_) return;
    released_ = false;
    fork_guard().unlock_shared();
    lock_->reacquire();
}

void release() noexcept {
    Call* call = t_call;
    if (call == nullptr || call->released_ || !guard_ready()) return;
    // Taken while the host lock is held: no fork is in progress then.
    fork_guard().lock_shared();
    call->released_ = true;
    call->lock_->release();
}

}  // namespace velqor::host

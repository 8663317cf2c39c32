// The host that calls into the core (the interpreter) holds a lock of its own
// for the whole call (the interpreter lock). Long work lets go of it, so that
// the host's other threads run meanwhile: the surface opens a host::Call
// around each call into the core; the core calls host::release() before it
// waits for a register's lock or starts work over a large state; the surface
// takes the host lock back when the core returns or throws, before it touches
// a host object again.
//
// Released work holds the process-wide fork guard shared, from before the host
// lock is let go until it is taken back, and fork() takes the guard
// exclusively first (the first stage of runtime/fork.hpp). A forked child therefore never finds released work half
// done, nor a register's lock held by a thread that the child does not have.
// The guard is taken while the host lock is still held, so released work never
// starts inside a fork (only a thread holding the host lock forks).
#pragma once

#include <cstdint>

namespace velqor::host {

// Work over fewer amplitudes keeps the host lock: a few microseconds, about
// what letting go of the lock and waiting for it again can cost when another
// host thread wants it.
inline constexpr std::uint64_t kReleaseAmplitudes = std::uint64_t{1} << 14;

// How a host lets go of its lock and takes it back; implemented by the surface.
class Lock {
public:
    // Lets the host's other threads run. Called at most once per host::Call.
    virtual void release() noexcept = 0;
    // Takes the lock back. At host exit this may end the thread (a forced
    // unwind), which must pass.
    virtual void reacquire() = 0;

protected:
    ~Lock() = default;
};

// One call into the core from a host thread holding `lock`, open for the
// scope's life. Calls nest: an inner one (a core operation that runs another)
// is the same call. Owner: the thread that opened it, only.
class Call {
public:
    explicit Call(Lock& lock) noexcept;
    // When still released (the thread is being ended on its way back to the
    // host), drops the fork guard only.
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Ends the released part, if any: drops the fork guard and takes the host
    // lock back. Call on every path out of the core before the host is used.
    void reacquire();

private:
    friend void release() noexcept;
    Lock* lock_;
    Call* outer_;  // the call this one nests in, or null
    bool released_ = false;
};

// From here to the end of the current call, the host lock is let go (once;
// nothing outside a call, or when the fork guard could not be set up).
void release() noexcept;

// release() when the work covers at least kReleaseAmplitudes amplitudes.
inline void release_for(std::uint64_t amplitudes) noexcept {
    if (amplitudes >= kReleaseAmplitudes) release();
}

}  // namespace velqor::host

// Panics: the one way the core and the runtime services refuse input or report a
// broken expectation. A panic writes its failure report to standard error at the
// moment it is raised, then unwinds as a C++ exception until a catch site (the
// Python boundary, or the worker pool, which carries it back to the waiting
// thread) takes it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "runtime/contract.hpp"

namespace velqor {

// The exception that carries a panic. Deliberately not derived from
// std::exception, so that no generic handler swallows it by accident.
class Panic {
public:
    Panic(std::string message, Location where) : message_(std::move(message)), where_(where) {}
    const std::string& message() const noexcept { return message_; }
    // Moves the message out (no allocation), leaving it empty.
    std::string take_message() noexcept { return std::move(message_); }
    const Location& location() const noexcept { return where_; }

private:
    std::string message_;
    Location where_;
};

// Writes the failure report for `message` at `where`, then throws Panic.
[[noreturn]] void panic(std::string message, Location where);

// Throws Panic without writing a report: continues a panic that was already
// reported (by another thread, or before it was caught and carried here).
[[noreturn]] void resume_panic(std::string message, Location where);

// Continues whatever `caught` holds on this thread. A Panic is counted as in
// progress again but not reported a second time; any other exception is rethrown.
[[noreturn]] void resume_unwind(std::exception_ptr caught);

// Marks the panic in progress on this thread as caught (the counters drop back).
void panic_caught() noexcept;

// For catch (...) sites that keep the exception: captures it and, when it is a
// Panic, marks it caught on this thread.
std::exception_ptr capture_current_exception() noexcept;

// Raises a panic that must not unwind: writes its report (a full backtrace when
// another panic of this thread is still in progress) and terminates the process.
[[noreturn]] void panic_nounwind(std::string message, Location where) noexcept;

// Writes `line` and a line end to standard error and terminates the process.
[[noreturn]] void fatal_error(std::string_view line) noexcept;

// Writes all of `text` to file descriptor 2 in as few writes as the system
// allows. Returns 0, or the errno of a failed write. A process without a
// standard error descriptor drops the text and counts it as written.
int write_stderr(std::string_view text) noexcept;

// Number of panics in progress on the calling thread (0 when none is unwinding).
std::uint32_t thread_panic_count() noexcept;

// Makes sure the calling thread can throw and catch without asking for memory
// that cannot be refused: its C++ exception state (held, with a shared C++
// runtime, in thread-local storage that the dynamic loader allocates on the
// thread's first exception and cannot do without, ending the process) is made
// now, while a refusal can still be reported. Returns false, with nothing
// done, when the memory is not there; true at once on later calls.
bool prepare_thread_for_exceptions() noexcept;

namespace test_hooks {

// Makes the next failure report of the calling thread meet a refused
// allocation, as under memory exhaustion: the report then comes out piece by
// piece without a backtrace, and the panic goes on as usual.
void refuse_next_report_memory() noexcept;

}  // namespace test_hooks

// The composed messages that several parts of the system raise.
std::string unwrap_message(std::string_view debug_form);
std::string index_message(std::uint64_t len, std::uint64_t index);

}  // namespace velqor

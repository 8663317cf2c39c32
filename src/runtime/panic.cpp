#include "runtime/panic.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "runtime/backtrace.hpp"

namespace velqor {
namespace {

enum class Style { Off, Short, Full };

std::atomic<std::uint64_t> g_panics_in_progress{0};
std::atomic<bool> g_first_note{true};
thread_local std::uint32_t t_panics_in_progress = 0;
thread_local bool t_in_report = false;

constexpr std::string_view kThreadName = "<unnamed>";
constexpr std::string_view kNestedReport = "thread panicked while processing panic. aborting.\n";
constexpr std::string_view kBacktraceHeader = "stack backtrace:\n";
constexpr std::string_view kOffNote =
    "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";
constexpr std::string_view kShortNote =
    "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose backtrace.\n";

// The process-wide style, read from RUST_BACKTRACE on first need and kept.
Style process_style() {
    static const Style style = [] {
        const char* value = std::getenv("RUST_BACKTRACE");
        if (value == nullptr || std::strcmp(value, "0") == 0) return Style::Off;
        if (std::strcmp(value, "full") == 0) return Style::Full;
        return Style::Short;
    }();
    return style;
}

void count_panic_started() noexcept {
    g_panics_in_progress.fetch_add(1, std::memory_order_relaxed);
    ++t_panics_in_progress;
}

// The report is written by the panicking thread before anything unwinds.
__attribute__((noinline)) void write_report(const std::string& message, Location where) {
    count_panic_started();
    if (t_in_report) {
        write_stderr(kNestedReport);
        std::abort();
    }
    t_in_report = true;
    const Style style = t_panics_in_progress >= 2 ? Style::Full : process_style();

    std::string text;
    text.reserve(64 + message.size());
    text.append("thread '").append(kThreadName).append("' panicked at '").append(message);
    text.append("', ").append(where.file).append(":").append(std::to_string(where.line));
    text.append(":").append(std::to_string(where.column)).append("\n");
    switch (style) {
        case Style::Off:
            if (g_first_note.exchange(false)) text.append(kOffNote);
            break;
        case Style::Short:
            text.append(kBacktraceHeader).append(format_backtrace(false)).append(kShortNote);
            break;
        case Style::Full:
            text.append(kBacktraceHeader).append(format_backtrace(true));
            break;
    }
    write_stderr(text);
    t_in_report = false;
}

bool holds_panic(const std::exception_ptr& caught) noexcept {
    try {
        std::rethrow_exception(caught);
    } catch (const Panic&) {
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

__attribute__((noinline)) void panic(std::string message, Location where) {
    write_report(message, where);
    throw Panic(std::move(message), where);
}

void resume_panic(std::string message, Location where) {
    count_panic_started();
    throw Panic(std::move(message), where);
}

void resume_unwind(std::exception_ptr caught) {
    if (holds_panic(caught)) count_panic_started();
    std::rethrow_exception(std::move(caught));
}

void panic_caught() noexcept {
    if (t_panics_in_progress > 0) {
        --t_panics_in_progress;
        g_panics_in_progress.fetch_sub(1, std::memory_order_relaxed);
    }
}

std::exception_ptr capture_current_exception() noexcept {
    std::exception_ptr caught = std::current_exception();
    if (caught && holds_panic(caught)) panic_caught();
    return caught;
}

void panic_nounwind(std::string message, Location where) noexcept {
    try {
        write_report(message, where);
    } catch (...) {
    }
    std::abort();
}

void fatal_error(std::string_view line) noexcept {
    try {
        std::string text(line);
        text.push_back('\n');
        write_stderr(text);
    } catch (...) {
    }
    std::abort();
}

int write_stderr(std::string_view text) noexcept {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EBADF) return 0;
            return errno;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

std::uint32_t thread_panic_count() noexcept { return t_panics_in_progress; }

std::string unwrap_message(std::string_view debug_form) {
    std::string text = "called `Result::unwrap()` on an `Err` value: ";
    text.append(debug_form);
    return text;
}

std::string index_message(std::uint64_t len, std::uint64_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

}  // namespace velqor

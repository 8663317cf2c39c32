#include "runtime/panic.hpp"

#include <cxxabi.h>

#include <atomic>
#include <charconv>
#include <new>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "runtime/backtrace.hpp"
#include "runtime/environment.hpp"

namespace velqor {
namespace {

enum class Style { Off, Short, Full };

std::atomic<std::uint64_t> g_panics_in_progress{0};
std::atomic<bool> g_first_note{true};
thread_local std::uint32_t t_panics_in_progress = 0;
thread_local bool t_in_report = false;
thread_local bool t_refuse_report_memory = false;  // test hook
thread_local bool t_exceptions_prepared = false;

// More than a thread's first exception may ask the dynamic loader for (the
// shared C++ runtime's thread-local block, 32 bytes, and a longer table of
// such blocks), and below the heap's threshold for a mapping of its own, so
// that the freed probe stays in the thread's heap for those requests.
constexpr std::size_t kExceptionStateProbe = 16 * 1024;

// The process-wide style, read from RUST_BACKTRACE on first need and kept.
Style process_style() {
    static const Style style = [] {
        const char* value = env::read(env::kBacktrace);
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

// Marks this thread as writing a report for as long as it lives, on every path.
class InReport {
public:
    InReport() noexcept { t_in_report = true; }
    ~InReport() { t_in_report = false; }
    InReport(const InReport&) = delete;
    InReport& operator=(const InReport&) = delete;
};

// The report in one write: message, position, and the backtrace or note.
void write_composed_report(const std::string& message, Location where, Style style) {
    std::string text;
    text.reserve(64 + message.size());
    text.append(msg::kReportThread).append(msg::kReportThreadName).append(msg::kReportPanickedAt).append(message);
    text.append(msg::kReportSiteSeparator).append(where.file).append(":").append(std::to_string(where.line));
    text.append(":").append(std::to_string(where.column)).append("\n");
    switch (style) {
        case Style::Off:
            if (g_first_note.exchange(false)) text.append(msg::kOffNote);
            break;
        case Style::Short:
            text.append(msg::kBacktraceHeader).append(format_backtrace(false)).append(msg::kShortNote);
            break;
        case Style::Full: text.append(msg::kBacktraceHeader).append(format_backtrace(true)); break;
    }
    write_stderr(text);
}

// The one-line report written piece by piece, without allocating: used when
// the memory for the composed report is refused. No backtrace.
void write_report_unallocated(std::string_view message, Location where, Style style) noexcept {
    char line[24];
    char column[24];
    const auto line_end = std::to_chars(line, line + sizeof line, where.line).ptr;
    const auto column_end = std::to_chars(column, column + sizeof column, where.column).ptr;
    write_stderr(msg::kReportThread);
    write_stderr(msg::kReportThreadName);
    write_stderr(msg::kReportPanickedAt);
    write_stderr(message);
    write_stderr(msg::kReportSiteSeparator);
    write_stderr(where.file);
    write_stderr(":");
    write_stderr(std::string_view(line, static_cast<std::size_t>(line_end - line)));
    write_stderr(":");
    write_stderr(std::string_view(column, static_cast<std::size_t>(column_end - column)));
    write_stderr("\n");
    if (style == Style::Off && g_first_note.exchange(false)) write_stderr(msg::kOffNote);
}

// The report is written by the panicking thread before anything unwinds.
__attribute__((noinline)) void write_report(const std::string& message, Location where) noexcept {
    count_panic_started();
    if (t_in_report) {
        write_stderr(msg::kNestedReport);
        std::abort();
    }
    const InReport in_report;
    const Style style = t_panics_in_progress >= 2 ? Style::Full : process_style();
    try {
        if (std::exchange(t_refuse_report_memory, false)) throw std::bad_alloc();
        write_composed_report(message, where, style);
    } catch (const std::exception&) {
        // Refused memory (or a backtrace that could not be formatted).
        write_report_unallocated(message, where, style);
    }
}

}  // namespace

namespace test_hooks {

void refuse_next_report_memory() noexcept { t_refuse_report_memory = true; }

}  // namespace test_hooks

namespace {

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
    write_report(message, where);
    std::abort();
}

void fatal_error(std::string_view line) noexcept {
    try {
        std::string text(line);
        text.push_back('\n');
        write_stderr(text);
    } catch (...) {}
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

bool prepare_thread_for_exceptions() noexcept {
    if (t_exceptions_prepared) return true;
    // The loader's allocation cannot be refused without ending the process, so
    // the memory is asked for first, and handed back for it to take.
    void* probe = std::malloc(kExceptionStateProbe);
    if (probe == nullptr) return false;
    // The probe escapes here, so that the compiler keeps the request it may
    // otherwise drop as unused.
    __asm__ volatile("" : : "r"(probe) : "memory");
    std::free(probe);
    // Declared without side effects, so its result must be used for the call
    // to stay.
    abi::__cxa_eh_globals* globals = abi::__cxa_get_globals();
    __asm__ volatile("" : : "r"(globals) : "memory");
    t_exceptions_prepared = true;
    return true;
}

std::string unwrap_message(std::string_view debug_form) { return msg::fill(msg::kUnwrapFailed, {debug_form}); }

std::string index_message(std::uint64_t len, std::uint64_t index) {
    return msg::fill(msg::kIndexOutOfBounds, {std::to_string(len), std::to_string(index)});
}

}  // namespace velqor

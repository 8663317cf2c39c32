#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "runtime/panic.hpp"
#include "support.hpp"

// Named (not anonymous) so the demangled frame names are predictable.
namespace backtrace_probe {

__attribute__((noinline)) void raise_real_panic() {
    velqor::panic("probe panic", velqor::Location{"tests\\probe", 7, 9});
}

}  // namespace backtrace_probe

namespace {

// The real failure report in short style, in a fresh process (the style is fixed
// at the first panic of a process): its frames begin at the function that
// raised the panic.
__attribute__((noinline)) void report_in_short_style() {
    setenv("RUST_BACKTRACE", "1", 1);
    std::FILE* capture = std::tmpfile();
    if (capture == nullptr) std::_Exit(2);
    const int saved = ::dup(2);
    ::dup2(::fileno(capture), 2);
    try {
        backtrace_probe::raise_real_panic();
    } catch (const velqor::Panic&) {
        velqor::panic_caught();
    }
    ::dup2(saved, 2);
    std::string report;
    std::rewind(capture);
    for (int c; (c = std::fgetc(capture)) != EOF;) report.push_back(static_cast<char>(c));
    std::fputs(report.c_str(), stderr);

    const std::string head =
        "thread '<unnamed>' panicked at 'probe panic', tests\\probe:7:9\n"
        "stack backtrace:\n"
        "   0: backtrace_probe::raise_real_panic()\n"
        "   1: (anonymous namespace)::report_in_short_style()\n";
    const bool ok = report.starts_with(head) && report.find("write_report") == std::string::npos &&
                    report.ends_with(
                        "note: Some details are omitted, run with "
                        "`RUST_BACKTRACE=full` for a verbose backtrace.\n");
    std::_Exit(ok ? 0 : 1);
}

TEST(BacktraceDeathTest, PanicReportShortFormStartsAtTheRaiser) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(report_in_short_style(), testing::ExitedWithCode(0), "stack backtrace:");
}

}  // namespace

// A report whose memory is refused comes out piece by piece with the same first
// line, the panic goes on as usual, and the thread's in-report mark is cleared:
// the next panic reports normally instead of ending the process.
TEST(PanicReport, RefusedMemoryDegradesTheReportOnly) {
    const velqor::Location where{"tests\\probe", 12, 5};
    for (int round = 0; round < 2; ++round) {
        if (round == 0) velqor::test_hooks::refuse_next_report_memory();
        velqor::testing::CapturedStderr capture;
        try {
            velqor::panic("refused " + std::to_string(round), where);
            ADD_FAILURE() << "no panic";
        } catch (const velqor::Panic& caught) {
            velqor::panic_caught();
            EXPECT_EQ(caught.message(), "refused " + std::to_string(round));
        }
        const std::string text = capture.text();
        const std::string first =
            "thread '<unnamed>' panicked at 'refused " + std::to_string(round) + "', tests\\probe:12:5\n";
        EXPECT_EQ(text.substr(0, first.size()), first) << text;
        EXPECT_EQ(velqor::thread_panic_count(), 0u);
    }
}

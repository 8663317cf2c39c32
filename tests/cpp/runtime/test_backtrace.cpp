#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/backtrace.hpp"
#include "runtime/panic.hpp"

// Named (not anonymous) so the demangled frame names are predictable. Each probe
// does work after its call so the call cannot become a tail jump.
namespace backtrace_probe {

__attribute__((noinline)) std::string capture(bool full) {
    std::string text = velqor::format_backtrace(full);
    asm volatile("" : : "r"(text.data()) : "memory");
    return text;
}

__attribute__((noinline)) void mimic_report(std::string* out) {
    *out = velqor::format_backtrace(false);
    asm volatile("" : : : "memory");
}

}  // namespace backtrace_probe

// Stands in for the panic machinery: an overload of velqor::panic, which the short
// form recognises by name, writing a report through a helper below it.
namespace velqor {
__attribute__((noinline)) void panic(int depth, std::string* out) {
    backtrace_probe::mimic_report(out);
    asm volatile("" : : "r"(depth) : "memory");
}
}  // namespace velqor

namespace backtrace_probe {

__attribute__((noinline)) std::string raise_mimic() {
    std::string text;
    velqor::panic(1, &text);
    asm volatile("" : : : "memory");
    return text;
}

}  // namespace backtrace_probe

namespace {

// Every line is "<index>: <frame>" with the index right-aligned in four columns
// and counting up from 0; returns the frame texts.
std::vector<std::string> frames_of(const std::string& text) {
    std::vector<std::string> frames;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::size_t colon = line.find(": ");
        const std::size_t digits = line.find_first_not_of(' ');
        const bool well_formed = colon != std::string::npos && colon >= 4 && digits < colon &&
                                 line.find_first_not_of("0123456789", digits) == colon && colon + 2 < line.size();
        EXPECT_TRUE(well_formed) << "line: " << line;
        if (!well_formed) continue;
        EXPECT_EQ(std::stoul(line.substr(digits, colon - digits)), frames.size()) << "line: " << line;
        frames.push_back(line.substr(colon + 2));
    }
    return frames;
}

TEST(Backtrace, NamesOurOwnFunctionsDemangled) {
    for (const bool full : {false, true}) {
        SCOPED_TRACE(full ? "full" : "short");
        const std::vector<std::string> frames = frames_of(backtrace_probe::capture(full));
        const auto probe = std::find(frames.begin(), frames.end(), "backtrace_probe::capture[abi:cxx11](bool)");
        ASSERT_NE(probe, frames.end());
        ASSERT_NE(probe + 1, frames.end());
        EXPECT_EQ(probe[1], "(anonymous namespace)::Backtrace_NamesOurOwnFunctionsDemangled_Test::TestBody()");
        if (full) {
            ASSERT_NE(probe, frames.begin());
            EXPECT_EQ(probe[-1], "velqor::format_backtrace[abi:cxx11](bool)");
        } else {
            // Without a panic frame the short form leaves out format_backtrace only.
            EXPECT_EQ(probe, frames.begin());
        }
    }
}

TEST(Backtrace, ShortFormStartsBelowThePanicFrame) {
    const std::vector<std::string> short_frames = frames_of(backtrace_probe::raise_mimic());
    ASSERT_FALSE(short_frames.empty());
    EXPECT_EQ(short_frames[0], "backtrace_probe::raise_mimic[abi:cxx11]()");
    for (const std::string& f : short_frames) {
        EXPECT_EQ(f.find("mimic_report"), std::string::npos) << f;
        EXPECT_EQ(f.find("velqor::panic"), std::string::npos) << f;
        EXPECT_EQ(f.find("format_backtrace"), std::string::npos) << f;
    }
}

TEST(Backtrace, ConcurrentCallsAgree) {
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (std::string& r : results) {
        threads.emplace_back([&r] { r = backtrace_probe::capture(false); });
    }
    for (std::thread& t : threads) t.join();
    for (const std::string& r : results) {
        const std::vector<std::string> frames = frames_of(r);
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames[0], "backtrace_probe::capture[abi:cxx11](bool)");
    }
}

}  // namespace

// Shared helpers of the C++ tests.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/panic.hpp"
#include "core/kernels/pair_plan.hpp"
#include "core/register.hpp"

namespace velqor::testing {

// Built with ThreadSanitizer (build/tsan): tests keep their checks there but
// may run on smaller data, since every access costs several times as much.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

using gates::kH;
using gates::kHadamard;
using gates::kX;

// A complex number with both parts uniform in [-1, 1).
inline Complex random_complex(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    return {d(rng), d(rng)};
}

inline void apply(Register& r, const Gate& g, std::vector<std::uint64_t> targets,
                  std::vector<std::uint64_t> controls = {}) {
    r.apply_gate(g, targets, controls);
}

// Redirects file descriptor 2 into a temporary file while alive; text() returns
// what was written so far.
class CapturedStderr {
public:
    CapturedStderr() : file_(std::tmpfile()) {
        std::fflush(stderr);
        saved_ = ::dup(2);
        ::dup2(::fileno(file_), 2);
    }
    ~CapturedStderr() {
        restore();
        std::fclose(file_);
    }
    std::string text() {
        restore();
        std::string out;
        std::rewind(file_);
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
        return out;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
    }
    std::FILE* file_;
    int saved_ = -1;
};

// Runs fn, which must panic; returns the caught panic (and fails the test
// otherwise). The failure report is swallowed unless `quiet` is false.
inline Panic expect_panic(const std::function<void()>& fn, bool quiet = true) {
    std::optional<CapturedStderr> capture;
    if (quiet) capture.emplace();
    try {
        fn();
    } catch (const Panic& p) {
        panic_caught();
        return p;
    }
    ADD_FAILURE() << "expected a panic";
    return Panic("", {"", 0, 0});
}

// The message of the panic that fn raises (caught and marked caught), or
// "<no panic>". The report, if any, goes to standard error as usual.
inline std::string panic_message(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Panic& p) {
        panic_caught();
        return p.message();
    }
    return "<no panic>";
}

inline std::string where(const Panic& p) {
    return std::string(p.location().file) + ":" + std::to_string(p.location().line) + ":" +
           std::to_string(p.location().column);
}

// Runs fn in a forked child and returns the bytes it wrote to its pipe end.
// The child is killed by an alarm if it hangs; a non-zero exit fails the test.
inline std::string run_in_child(const std::function<std::string()>& fn, unsigned timeout_s = 60) {
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::alarm(timeout_s);
        std::string out = fn();
        const char* data = out.data();
        std::size_t left = out.size();
        while (left > 0) {
            const ssize_t n = ::write(fds[1], data, left);
            if (n <= 0) ::_exit(3);
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string result;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) result.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return result;
}

// The plan of target t < n under a list of controls, as gate application
// builds it; false when some control can never be satisfied.
inline bool make_plan(unsigned n, std::uint64_t t, const std::uint64_t* controls, std::size_t control_count,
                      kernels::PairPlan& plan) {
    std::uint64_t mask = 0;
    if (!kernels::control_mask_of(n, t, controls, control_count, mask)) return false;
    kernels::make_plan_from_mask(n, static_cast<unsigned>(t), mask, plan);
    return true;
}

}  // namespace velqor::testing

// Shared helpers of the C++ tests.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/panic.hpp"
#include "runtime/pool/global_pool.hpp"
#include "runtime/pool/scheduler.hpp"
#include "core/kernels/pair_plan.hpp"
#include "core/register.hpp"
#include "named_gates.hpp"

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

// A copy of the register's amplitudes, with its queued gates applied.
inline std::vector<Complex> amplitudes(const Register& r) {
    std::vector<Complex> out;
    r.with_amplitudes([&](std::span<Complex> a) { out.assign(a.begin(), a.end()); });
    return out;
}

// Equal values, where +0.0 and -0.0 count as equal (skipped products by exact
// zeros may change the sign of a zero, nothing else).
inline void expect_same(const std::vector<Complex>& got, const std::vector<Complex>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(got[i].real == want[i].real && got[i].imag == want[i].imag)
            << "index " << i << ": (" << got[i].real << ", " << got[i].imag << ") vs (" << want[i].real << ", "
            << want[i].imag << ")";
    }
}

// The formula written out plainly: every pair, the control test per pair, the
// full complex products with no skipped terms.
inline void reference_apply(std::vector<Complex>& a, unsigned n, const Gate& g, std::uint64_t t,
                            const std::vector<std::uint64_t>& controls) {
    for (std::uint64_t k = 0; k < (std::uint64_t{1} << (n - 1)); ++k) {
        const std::uint64_t low = k & ((std::uint64_t{1} << t) - 1);
        const std::uint64_t i0 = ((k >> t) << (t + 1)) | low;
        const std::uint64_t i1 = i0 | (std::uint64_t{1} << t);
        bool pass = true;
        for (std::uint64_t c : controls) pass = pass && c < 64 && ((i0 >> c) & 1);
        if (!pass) continue;
        const Complex a0 = a[i0], a1 = a[i1];
        a[i0] = add(mul(g.m00, a0), mul(g.m01, a1));
        a[i1] = add(mul(g.m10, a0), mul(g.m11, a1));
    }
}

// Gates of every shape the kernels distinguish, with random entries.
inline Gate random_gate(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    const Complex r{d(rng), 0.0};
    const auto real = [&] { return Complex{d(rng), 0.0}; };
    const auto imaginary = [&] { return Complex{0.0, d(rng)}; };
    switch (rng() % 11) {
        case 0: return {random_complex(rng), random_complex(rng), random_complex(rng), random_complex(rng)};
        case 1: return {{d(rng), 0}, {d(rng), 0}, {d(rng), 0}, {d(rng), 0}};
        case 2: return {random_complex(rng), kZero, kZero, random_complex(rng)};
        case 3: return {kOne, kZero, kZero, random_complex(rng)};
        case 4: return {r, kZero, kZero, kZero};
        case 5: return {kZero, random_complex(rng), r, kZero};
        case 6: return {kZero, kOne, kOne, kZero};
        case 7: return {r, random_complex(rng), random_complex(rng), random_complex(rng)};  // U3: m00 real
        case 8: return {r, imaginary(), imaginary(), real()};                               // RX
        case 9: return {kZero, imaginary(), imaginary(), kZero};                            // Y
        default: return {random_complex(rng), kZero, random_complex(rng), r};
    }
}

// One random application: a random gate on one target (sometimes two, one time
// in `second_target_odds`), under up to two controls that may repeat, equal
// the target or lie beyond the register.
struct Step {
    Gate gate;
    std::vector<std::uint64_t> targets;
    std::vector<std::uint64_t> controls;
};
inline Step random_step(std::mt19937_64& rng, unsigned n, unsigned second_target_odds) {
    Step step{random_gate(rng), {rng() % n}, {}};
    if (rng() % second_target_odds == 0) step.targets.push_back(rng() % n);
    const unsigned count = static_cast<unsigned>(rng() % 3);
    for (unsigned c = 0; c < count; ++c) step.controls.push_back(rng() % (n + 1));
    return step;
}

// A register in a random dense state (no amplitude a structural zero), and a
// copy of that state in `ref`.
inline Register random_register(unsigned n, std::mt19937_64& rng, std::vector<Complex>& ref) {
    Register r(n);
    ref.resize(std::size_t{1} << n);
    r.with_amplitudes([&](std::span<Complex> a) {
        for (std::size_t i = 0; i < a.size(); ++i) a[i] = ref[i] = random_complex(rng);
    });
    return r;
}

// The correctly rounded sum of doubles, by non-overlapping partials and a
// final half-way correction: the reference for the exact accumulation.
inline double reference_sum(const std::vector<double>& terms) {
    std::vector<double> partials;
    for (double x : terms) {
        std::size_t kept = 0;
        for (double y : partials) {
            if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
            const double hi = x + y;
            const double lo = y - (hi - x);
            if (lo != 0.0) partials[kept++] = lo;
            x = hi;
        }
        partials.resize(kept);
        partials.push_back(x);
    }
    if (partials.empty()) return 0.0;
    std::size_t i = partials.size() - 1;
    double hi = partials[i];
    double lo = 0.0;
    while (i > 0) {
        const double x = hi;
        const double y = partials[--i];
        hi = x + y;
        lo = y - (hi - x);
        if (lo != 0.0) break;
    }
    if (i > 0 && ((lo < 0.0 && partials[i - 1] < 0.0) || (lo > 0.0 && partials[i - 1] > 0.0))) {
        const double y = lo * 2.0;
        const double x = hi + y;
        if (y == x - hi) hi = x;
    }
    return hi;
}

// Runs a and b on the pool through the join that splits every loop.
template <class A, class B>
void join(A&& a, B&& b) {
    using FA = std::remove_reference_t<A>;
    using FB = std::remove_reference_t<B>;
    pool::detail::join(
        pool::detail::global_pool(), [](void* c, bool) { (*static_cast<FA*>(c))(); },
        const_cast<void*>(static_cast<const void*>(&a)), [](void* c, bool) { (*static_cast<FB*>(c))(); },
        const_cast<void*>(static_cast<const void*>(&b)));
}

// Runs `body` in a re-executed copy of this binary, which starts without a pool,
// with the variables of `env` set (nullptr: unset). `body` returns its failures.
inline void expect_in_child(const std::vector<std::pair<const char*, const char*>>& env,
                            const std::function<int()>& body, const std::string& stderr_pattern = "") {
    std::vector<std::optional<std::string>> saved;
    for (const auto& [name, value] : env) {
        const char* old = std::getenv(name);
        saved.push_back(old ? std::optional<std::string>(old) : std::nullopt);
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(body()), ::testing::ExitedWithCode(0), stderr_pattern);
    for (std::size_t i = 0; i < env.size(); ++i)
        saved[i] ? ::setenv(env[i].first, saved[i]->c_str(), 1) : ::unsetenv(env[i].first);
}

// The sum of begin .. end-1, split by joins down to pieces of 64 numbers.
inline std::uint64_t join_sum(std::uint64_t begin, std::uint64_t end) {
    if (end - begin <= 64) return (begin + end - 1) * (end - begin) / 2;
    const std::uint64_t mid = begin + (end - begin) / 2;
    std::uint64_t low = 0, high = 0;
    join([&] { low = join_sum(begin, mid); }, [&] { high = join_sum(mid, end); });
    return low + high;
}

}  // namespace velqor::testing

// Counts failed checks inside a child process, which exits with the count.
#define CHILD_CHECK(cond)                                                               \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            std::fprintf(stderr, "child check failed, line %d: %s\n", __LINE__, #cond); \
            ++failures;                                                                 \
        }                                                                               \
    } while (0)

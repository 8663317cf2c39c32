#include "runtime/random.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "runtime/environment.hpp"
#include "runtime/fork.hpp"
#include "runtime/panic.hpp"
#include "runtime/thread_owned.hpp"

namespace velqor::random {
namespace {


using Key = std::array<std::uint32_t, 8>;

constexpr unsigned kGeneratorRounds = 12;
constexpr std::int64_t kBytesPerRefill = 256;  // four blocks of 64 bytes

// "expand 32-byte k" as little-endian words.
constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// ---------------------------------------------------------------------------
// The operating system's generator.

std::atomic<OsSource> g_os_source{&fill_from_os};

std::optional<OsError> read_os(std::span<std::uint8_t> buffer) {
    return g_os_source.load(std::memory_order_acquire)(buffer);
}

std::array<std::uint32_t, 8> key_from_bytes(const std::array<std::uint8_t, 32>& bytes) {
    std::array<std::uint32_t, 8> key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = std::uint32_t{bytes[4 * i]} | std::uint32_t{bytes[4 * i + 1]} << 8 |
                 std::uint32_t{bytes[4 * i + 2]} << 16 | std::uint32_t{bytes[4 * i + 3]} << 24;
    }
    return key;
}

// ---------------------------------------------------------------------------
// The ChaCha block function, written once for a lane type: std::uint32_t for one
// block, a four-lane vector for four blocks side by side.

using Lanes = std::uint32_t __attribute__((vector_size(16)));

inline std::uint32_t rotl(std::uint32_t v, int n) { return std::rotl(v, n); }
inline Lanes rotl(Lanes v, int n) { return (v << n) | (v >> (32 - n)); }

template <class V>
[[gnu::always_inline]] inline void quarter_round(V& a, V& b, V& c, V& d) {
    a += b;
    d ^= a;
    d = rotl(d, 16);
    c += d;
    b ^= c;
    b = rotl(b, 12);
    a += b;
    d ^= a;
    d = rotl(d, 8);
    c += d;
    b ^= c;
    b = rotl(b, 7);
}

// `rounds` rounds (column rounds alternating with diagonal rounds) on x. Inlined
// so that the sixteen state words stay in registers.
template <class V>
[[gnu::always_inline]] inline void chacha_rounds(V (&x)[16], unsigned rounds) {
    for (unsigned r = 0; r < rounds; r += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
}

template <unsigned Rounds>
void blocks4(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
             std::uint32_t out[64]) {
    Lanes input[16];
    for (int i = 0; i < 4; ++i) input[i] = Lanes{} + kSigma[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = Lanes{} + key[i];
    for (int lane = 0; lane < 4; ++lane) {
        const std::uint64_t c = counter + static_cast<std::uint64_t>(lane);
        input[12][lane] = static_cast<std::uint32_t>(c);
        input[13][lane] = static_cast<std::uint32_t>(c >> 32);
    }
    input[14] = Lanes{} + static_cast<std::uint32_t>(stream);
    input[15] = Lanes{} + static_cast<std::uint32_t>(stream >> 32);

    Lanes x[16];
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    chacha_rounds(x, Rounds);
    for (int i = 0; i < 16; ++i) x[i] += input[i];
    for (int lane = 0; lane < 4; ++lane) {
        for (int i = 0; i < 16; ++i) out[16 * lane + i] = x[i][lane];
    }
}

// ---------------------------------------------------------------------------
// Keys derived from VELQOR_SEED. Each is the first eight words of one ChaCha12
// block whose stream word names the key's role and whose counter names the
// member, so keys of different roles or members never coincide, and none is a
// block that a generator hands out (those use stream 0):
//
//   process key  = block(lineage, counter = seed, stream 1)
//   thread key   = block(process key, counter = thread number, stream 2)
//   next key     = block(current key, counter = 0, stream 3)     at each reseed
//   lineage      = block(parent's lineage, counter = fork number, stream 4)
//
// The lineage is all zeros in a process that no fork made; a child takes it from
// its parent's lineage and the parent's count of forks, so children of one
// parent, and their children, draw streams of their own.

constexpr std::uint64_t kProcessKeyStream = 1;
constexpr std::uint64_t kThreadKeyStream = 2;
constexpr std::uint64_t kNextKeyStream = 3;
constexpr std::uint64_t kLineageStream = 4;

Key derive_key(const Key& key, std::uint64_t counter, std::uint64_t stream) {
    std::uint32_t block[16];
    chacha_block(key, counter, stream, kGeneratorRounds, block);
    Key derived{};
    std::copy(block, block + derived.size(), derived.begin());
    return derived;
}

// The seed setting, read from VELQOR_SEED on first need and kept.
struct SeedSetting {
    bool set = false;                   // the variable is present
    std::optional<std::uint64_t> seed;  // its value, when it is a valid one
};

const SeedSetting& seed_setting() {
    static const SeedSetting setting = [] {
        SeedSetting read;
        const char* text = env::read(env::kSeed);
        read.set = text != nullptr;
        if (read.set) read.seed = env::parse_seed(text);
        return read;
    }();
    return setting;
}

// ---------------------------------------------------------------------------
// Forks. A child process inherits its parent's generators word for word; the
// child handler moves the generation on, and every generator that sees a
// generation other than the one it recorded takes a fresh key before drawing.
// The handlers are enlisted when the module is loaded, before anything can
// fork, so that every fork is counted (fork.hpp has their place in the order).

std::atomic<std::uint64_t> g_fork_generation{0};
std::atomic<std::uint64_t> g_forks{0};         // forks this process has made
thread_local std::uint64_t t_fork_number = 0;  // the forking thread's count, set just before its fork
// Written only by the child handler (the child's one thread then), read when a
// seeded key is derived.
Key g_lineage{};
// The number the next thread to create a seeded generator gets; the main
// thread has 0.
std::atomic<std::uint64_t> g_next_thread_number{1};

void on_fork_prepare() noexcept { t_fork_number = g_forks.fetch_add(1, std::memory_order_relaxed) + 1; }

void on_fork_child() noexcept {
    g_lineage = derive_key(g_lineage, t_fork_number, kLineageStream);
    g_forks.store(0, std::memory_order_relaxed);
    g_next_thread_number.store(1, std::memory_order_relaxed);
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
}

[[maybe_unused]] const int g_fork_handlers =
    fork::enlist(fork::Stage::kRandomLineage, {&on_fork_prepare, nullptr, &on_fork_child});

// The calling thread's number among the seeded generators: 0 for the process's
// main thread (the forking thread, in a child), then 1, 2, ... in the order the
// other threads ask. Asked once per thread, when its generator is keyed.
std::uint64_t thread_number() {
    if (::syscall(SYS_gettid) == ::getpid()) return 0;
    return g_next_thread_number.fetch_add(1, std::memory_order_relaxed);
}

Key seeded_thread_key(std::uint64_t seed) {
    return derive_key(derive_key(g_lineage, seed, kProcessKeyStream), thread_number(), kThreadKeyStream);
}

}  // namespace

// ---------------------------------------------------------------------------

std::string OsError::describe() const {
    std::string text(msg::kOsErrorPrefix);
    text.append(std::to_string(code));
    return text;
}

std::optional<OsError> fill_from_os(std::span<std::uint8_t> buffer) {
    std::uint8_t* data = buffer.data();
    std::size_t left = buffer.size();
    while (left > 0) {
        const ssize_t n = ::getrandom(data, left, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return OsError{static_cast<std::uint32_t>(errno)};
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return std::nullopt;
}

OsSource set_os_source(OsSource source) noexcept {
    return g_os_source.exchange(source != nullptr ? source : &fill_from_os, std::memory_order_acq_rel);
}

void chacha_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream, unsigned rounds,
                  std::uint32_t out[16]) {
    std::uint32_t input[16];
    std::copy(std::begin(kSigma), std::end(kSigma), input);
    std::copy(key.begin(), key.end(), input + 4);
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(stream);
    input[15] = static_cast<std::uint32_t>(stream >> 32);

    std::uint32_t x[16];
    std::copy(std::begin(input), std::end(input), x);
    chacha_rounds(x, rounds);
    for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

void chacha_blocks4(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                    unsigned rounds, std::uint32_t out[64]) {
    switch (rounds) {
        case 8: blocks4<8>(key, counter, stream, out); return;
        case 12: blocks4<12>(key, counter, stream, out); return;
        case 20: blocks4<20>(key, counter, stream, out); return;
        default:
            for (std::uint64_t i = 0; i < 4; ++i) {
                chacha_block(key, counter + i, stream, rounds, out + 16 * i);
            }
    }
}

// ---------------------------------------------------------------------------

ThreadGenerator::ThreadGenerator(const std::array<std::uint8_t, 32>& seed)
    : key_(key_from_bytes(seed)), fork_generation_(g_fork_generation.load(std::memory_order_relaxed)) {}

ThreadGenerator::ThreadGenerator(SeededKey key)
    : key_(key.words), seed_(key.seed), fork_generation_(g_fork_generation.load(std::memory_order_relaxed)) {}

std::uint64_t ThreadGenerator::draw_u64() {
    if (fork_generation_ != g_fork_generation.load(std::memory_order_relaxed)) [[unlikely]] {
        rekey_after_fork();
    }
    if (position_ >= words_.size()) {
        refill();
        position_ = 0;
    }
    const std::uint64_t value = std::uint64_t{words_[position_]} | std::uint64_t{words_[position_ + 1]} << 32;
    position_ += 2;
    return value;
}

void ThreadGenerator::refill() {
    if (budget_ <= 0) {
        reseed();
        budget_ = interval_ - kBytesPerRefill;
    } else {
        budget_ -= kBytesPerRefill;
    }
    chacha_blocks4(key_, counter_, stream_, kGeneratorRounds, words_.data());
    counter_ += 4;
}

template <class SeededKey>
bool ThreadGenerator::take_key(SeededKey&& seeded_key) {
    if (seed_) {
        key_ = seeded_key();
    } else {
        std::array<std::uint8_t, 32> seed{};
        if (read_os(seed)) return false;
        key_ = key_from_bytes(seed);
    }
    counter_ = 0;
    stream_ = 0;
    return true;
}

// A seeded generator derives its next key from the current one; otherwise the
// key comes from the operating system, and a failed read keeps the old one.
void ThreadGenerator::reseed() {
    take_key([this] { return derive_key(key_, 0, kNextKeyStream); });
}

// Starts over as a generator created in this process would: new key, counter and
// stream 0, buffer spent, full budget. A seeded generator takes the key of the
// child's main thread (this thread, the one that forked); otherwise, if the key
// cannot be read the generator keeps its state and tries again before its next
// draw.
__attribute__((cold, noinline)) void ThreadGenerator::rekey_after_fork() {
    const std::uint64_t generation = g_fork_generation.load(std::memory_order_relaxed);
    if (!take_key([this] { return seeded_thread_key(*seed_); })) return;
    position_ = static_cast<std::uint32_t>(words_.size());
    budget_ = interval_;
    fork_generation_ = generation;
}

namespace {

// Each thread's generator, made on its first thread_rng. Behind a key, not in a
// thread_local with a destructor, so that a thread's first draw needs no memory
// but the generator's and its slot's, whose refusal is a std::bad_alloc.
ThreadOwned<std::shared_ptr<ThreadGenerator>> g_thread_generators;

// A new generator for the calling thread. Its memory comes first, so that a
// refusal leaves the thread's number among the seeded generators unused.
std::shared_ptr<ThreadGenerator> new_thread_generator() {
    const SeedSetting& setting = seed_setting();
    if (setting.set && !setting.seed) panic(std::string(msg::kBadSeed), site::kRandomSeed);
    auto generator = std::make_shared<ThreadGenerator>(std::array<std::uint8_t, 32>{});
    if (setting.seed) {
        *generator = ThreadGenerator(SeededKey{*setting.seed, seeded_thread_key(*setting.seed)});
        return generator;
    }
    std::array<std::uint8_t, 32> seed{};
    if (const std::optional<OsError> error = read_os(seed)) {
        std::string message(msg::kRandomInitFailed);
        message.append(error->describe());
        panic(std::move(message), site::kRandomInit);
    }
    *generator = ThreadGenerator(seed);
    return generator;
}

}  // namespace

std::shared_ptr<ThreadGenerator> thread_rng() {
    std::shared_ptr<ThreadGenerator>* slot = g_thread_generators.get();
    if (slot == nullptr) slot = &g_thread_generators.adopt(std::make_unique<std::shared_ptr<ThreadGenerator>>());
    if (!*slot) *slot = new_thread_generator();
    return *slot;
}

// ---------------------------------------------------------------------------

UniformRange::UniformRange(double low, double high) : low_(low), width_(0.0) {
    if (!(low < high)) {
        panic(std::string(msg::kUniformLowHigh), site::kUniformLowHigh);
    }
    double width = high - low;
    if (!std::isfinite(width)) {
        panic(std::string(msg::kUniformOverflow), site::kUniformOverflow);
    }
    // The largest unit value a draw can give is 1 - 2^-52; lower the width until
    // even that one lands below high after rounding.
    const double max_unit = std::bit_cast<double>(std::uint64_t{0x3FEFFFFFFFFFFFFE});
    while (width * max_unit + low >= high) {
        width = std::bit_cast<double>(std::bit_cast<std::uint64_t>(width) - 1);
    }
    width_ = width;
}

double UniformRange::sample(ThreadGenerator& rng) const {
    const std::uint64_t v = rng.draw_u64();
    const double unit = std::bit_cast<double>(std::uint64_t{0x3FF} << 52 | v >> 12) - 1.0;
    const double scaled = unit * width_;
    return scaled + low_;
}

std::string_view sample_error_name(SampleError error) noexcept {
    const auto index = static_cast<std::size_t>(error);
    return index < msg::kSampleErrorNames.size() ? msg::kSampleErrorNames[index] : std::string_view{};
}

WeightedSampler::WeightedSampler(std::vector<double> cumulative, double total)
    : cumulative_(std::move(cumulative)), total_(total), range_(0.0, total) {}

std::variant<WeightedSampler, SampleError> WeightedSampler::build(std::span<const double> weights) {
    std::vector<double> cumulative;
    cumulative.reserve(weights.empty() ? 0 : weights.size() - 1);
    const auto total = checked_running_sum(
        weights.size(), [&](std::uint64_t j) { return weights[j]; },
        [&](std::uint64_t, double sum) { cumulative.push_back(sum); });
    if (const auto* error = std::get_if<SampleError>(&total)) return *error;
    return WeightedSampler(std::move(cumulative), std::get<double>(total));
}

std::uint32_t WeightedSampler::index_of(double x) const noexcept {
    // upper_bound halves the window: an entry <= x moves it right, one > x left.
    const auto first_above = std::upper_bound(cumulative_.begin(), cumulative_.end(), x);
    return static_cast<std::uint32_t>(first_above - cumulative_.begin());
}

std::uint32_t WeightedSampler::sample(ThreadGenerator& rng) const { return index_of(range_.sample(rng)); }

}  // namespace velqor::random

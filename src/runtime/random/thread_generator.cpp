#include "runtime/random/thread_generator.hpp"

#include <string>

#include "runtime/contract.hpp"
#include "runtime/panic.hpp"
#include "runtime/random/os_source.hpp"
#include "runtime/random/seeded_keys.hpp"
#include "runtime/thread_owned.hpp"

namespace velqor::random {
namespace {

constexpr std::int64_t kBytesPerRefill = 256;  // four blocks of 64 bytes

std::array<std::uint32_t, 8> key_from_bytes(const std::array<std::uint8_t, 32>& bytes) {
    std::array<std::uint32_t, 8> key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = std::uint32_t{bytes[4 * i]} | std::uint32_t{bytes[4 * i + 1]} << 8 |
                 std::uint32_t{bytes[4 * i + 2]} << 16 | std::uint32_t{bytes[4 * i + 3]} << 24;
    }
    return key;
}

}  // namespace

ThreadGenerator::ThreadGenerator(const std::array<std::uint8_t, 32>& seed)
    : key_(key_from_bytes(seed)), fork_generation_(fork_generation()) {}

ThreadGenerator::ThreadGenerator(SeededKey key)
    : key_(key.words), seed_(key.seed), fork_generation_(fork_generation()) {}

std::uint64_t ThreadGenerator::draw_u64() {
    if (fork_generation_ != fork_generation()) [[unlikely]] {
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

template <class DeriveKey>
bool ThreadGenerator::take_key(DeriveKey&& derive_seeded_key) {
    if (seed_) {
        key_ = derive_seeded_key();
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
    const std::uint64_t generation = fork_generation();
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

}  // namespace velqor::random

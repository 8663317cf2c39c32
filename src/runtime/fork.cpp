#include "runtime/fork.hpp"

#include <pthread.h>

#include <array>
#include <atomic>
#include <mutex>

namespace velqor::fork {
namespace {

using Handler = void (*)() noexcept;

constexpr std::size_t kStages = static_cast<std::size_t>(Stage::kCount);

// One slot per stage and phase; written by enlist, read by the fork's
// handlers. Relaxed is enough: a fork that races with an enlist either sees
// the handlers or not, as with pthread_atfork itself.
struct Slots {
    std::array<std::atomic<Handler>, kStages> prepare{};
    std::array<std::atomic<Handler>, kStages> parent{};
    std::array<std::atomic<Handler>, kStages> child{};
};

constinit Slots g_slots;
constinit std::atomic<bool> g_registered{false};
constinit std::mutex g_register_mutex;  // guards the one pthread_atfork call

void run(Handler h) noexcept {
    if (h != nullptr) h();
}

void prepare_all() noexcept {
    for (std::size_t i = 0; i < kStages; ++i) run(g_slots.prepare[i].load(std::memory_order_relaxed));
}

void parent_all() noexcept {
    for (std::size_t i = kStages; i-- > 0;) run(g_slots.parent[i].load(std::memory_order_relaxed));
}

void child_all() noexcept {
    for (std::size_t i = kStages; i-- > 0;) run(g_slots.child[i].load(std::memory_order_relaxed));
}

int make_registry() noexcept {
    if (g_registered.load(std::memory_order_acquire)) return 0;
    const std::lock_guard lock(g_register_mutex);
    if (g_registered.load(std::memory_order_relaxed)) return 0;
    const int rc = pthread_atfork(&prepare_all, &parent_all, &child_all);
    if (rc == 0) g_registered.store(true, std::memory_order_release);
    return rc;
}

Handlers store(Stage stage, Handlers handlers) noexcept {
    const auto i = static_cast<std::size_t>(stage);
    Handlers before;
    before.prepare = g_slots.prepare[i].exchange(handlers.prepare, std::memory_order_relaxed);
    before.parent = g_slots.parent[i].exchange(handlers.parent, std::memory_order_relaxed);
    before.child = g_slots.child[i].exchange(handlers.child, std::memory_order_relaxed);
    return before;
}

}  // namespace

int enlist(Stage stage, Handlers handlers) noexcept {
    store(stage, handlers);
    return make_registry();
}

namespace test_hooks {

Handlers swap(Stage stage, Handlers handlers) noexcept {
    (void)make_registry();
    return store(stage, handlers);
}

}  // namespace test_hooks

}  // namespace velqor::fork

#include "core/queue/stretch_apply.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <mutex>
#include <memory>
#include <new>
#include <optional>

#include "runtime/never_destroyed.hpp"
#include "runtime/pool.hpp"
#include "runtime/thread_owned.hpp"
#include "core/buffer.hpp"
#include "core/kernels/bits.hpp"
#include "core/kernels/cache_hints.hpp"

namespace velqor::blocking {
namespace {

// Gather buffers for blocks whose qubits are not all low ones: one per pool
// worker and one per thread that starts stretches, each kept for the life of
// the process (or thread). All are obtained by the starting thread before a
// stretch begins, so a refused allocation fails the read before any amplitude
// has changed; a worker that failed to get one midway would leave the state
// half updated.
constexpr std::size_t kBufferAmplitudes = std::size_t{1} << kBlockQubits;

std::mutex g_worker_buffers_mutex;
// Filled under g_worker_buffers_mutex, once per slot; read by the slot's worker
// without the lock, after the fill was published to it with the stretch's jobs.
// Never destroyed: workers may still be inside a stretch while the process exits.
NeverDestroyed<std::array<Buffer<Complex>, pool::kMaxWorkers>> g_worker_buffers;
// The starting threads' own, behind a key rather than in a thread_local with a
// destructor, whose registration at a thread's first stretch would be an
// allocation that cannot be refused without ending the process.
ThreadOwned<Buffer<Complex>> g_starter_buffers;
std::atomic<int> g_refuse_buffers_in{0};

// Makes sure the calling thread and every pool worker have a gather buffer.
// Throws std::bad_alloc when the memory is refused; nothing changes then.
void prepare_gather_buffers() {
    const int refuse = g_refuse_buffers_in.load(std::memory_order_relaxed);
    if (refuse > 0) {
        g_refuse_buffers_in.store(refuse - 1, std::memory_order_relaxed);
        if (refuse == 1) throw std::bad_alloc();
    }
    if (g_starter_buffers.get() == nullptr) {
        g_starter_buffers.adopt(std::make_unique<Buffer<Complex>>(kBufferAmplitudes));
    }
    const std::size_t workers = std::min(pool::current_num_threads(), pool::kMaxWorkers);
    std::lock_guard lock(g_worker_buffers_mutex);
    for (std::size_t i = 0; i < workers; ++i) {
        if (g_worker_buffers.get()[i].size() == 0) g_worker_buffers.get()[i] = Buffer<Complex>(kBufferAmplitudes);
    }
}

// The calling thread's gather buffer: its worker slot, or the starter's own.
Complex* block_buffer() noexcept {
    const std::size_t worker = pool::current_worker_index();
    return worker == pool::kNotAWorker ? g_starter_buffers.get()->data() : g_worker_buffers.get()[worker].data();
}

// Copies the block's segments into the buffer. The segments lie far apart (a few
// cache lines each), where the hardware prefetchers do not follow: the lines of
// the segment kAhead places on are requested while this one is copied.
void gather(const StretchLayout& layout, const Complex* base, Complex* buffer) {
    constexpr std::size_t kAhead = 4;
    constexpr std::uint64_t kLineAmplitudes = 4;
    const std::uint64_t segment = std::uint64_t{1} << layout.low;
    const std::uint64_t lines = std::min<std::uint64_t>(segment / kLineAmplitudes, 16);
    const std::size_t count = layout.segment_offsets.size();
    for (std::size_t c = 0; c < count; ++c) {
        if (c + kAhead < count) {
            const char* next = reinterpret_cast<const char*>(base + layout.segment_offsets[c + kAhead]);
            for (std::uint64_t l = 0; l < lines; ++l) kernels::prefetch_line(next + 64 * l);
        }
        std::memcpy(buffer + c * segment, base + layout.segment_offsets[c], segment * sizeof(Complex));
    }
}

// Copies the buffer's segments back into the block.
void scatter(const StretchLayout& layout, const Complex* buffer, Complex* base) {
    const std::uint64_t segment = std::uint64_t{1} << layout.low;
    const std::size_t count = layout.segment_offsets.size();
    for (std::size_t c = 0; c < count; ++c) {
        std::memcpy(base + layout.segment_offsets[c], buffer + c * segment, segment * sizeof(Complex));
    }
}

// Applies the selected gates of the stretch, in order, to the block's amplitudes.
void apply_sweeps(const StretchLayout& layout, const bool* selected, Complex* data) {
    for (const Sweep& sweep : layout.sweeps) {
        bool any = false;
        for (std::size_t k = sweep.begin; k < sweep.end; ++k) any = any || selected[k];
        if (!any) continue;
        const std::uint64_t subs = std::uint64_t{1} << std::popcount(sweep.fixed);
        for (std::uint64_t s = 0; s < subs; ++s) {
            const std::uint64_t bits = kernels::deposit_bits(s, sweep.fixed);
            for (std::size_t k = sweep.begin; k < sweep.end; ++k) {
                const LocalGate& g = layout.gates[k];
                if (selected[k] && (bits & g.fixed_select) == g.fixed_select) {
                    layout.kernel(*g.gate, g.plan, data + bits);
                }
            }
        }
    }
}

// Blocks [lo, hi) of the stretch: gather (unless the block runs in place),
// every selected gate in order, the marginal totals when asked for while the
// block is in cache (also of a block no gate changes), scatter back.
void apply_to_blocks(const StretchLayout& layout, Complex* amplitudes, std::uint64_t lo, std::uint64_t hi,
                     SharedMarginals* shared) {
    const std::size_t gate_count = layout.gates.size();
    const std::uint64_t segment = std::uint64_t{1} << layout.low;
    const std::size_t segments = layout.segment_offsets.size();
    const bool in_place = layout.in_place;
    Complex* buffer = in_place ? nullptr : block_buffer();
    std::optional<MarginalSums> marginals;
    if (shared != nullptr) marginals.emplace(shared->target());
    bool selected[GateQueue::kCapacity];
    for (std::uint64_t b = lo; b < hi; ++b) {
        const std::uint64_t base = kernels::deposit_bits(b, layout.outside_mask);
        bool any = false;
        for (std::size_t i = 0; i < gate_count; ++i) {
            const std::uint64_t mask = layout.gates[i].outside_mask;
            selected[i] = (base & mask) == mask;
            any = any || selected[i];
        }
        const bool gathered = any && !in_place;
        if (any) {
            Complex* data = amplitudes + base;
            if (gathered) {
                gather(layout, amplitudes + base, buffer);
                data = buffer;
            }
            apply_sweeps(layout, selected, data);
        }
        if (marginals) {
            for (std::size_t c = 0; c < segments; ++c) {
                const std::uint64_t first = base + layout.segment_offsets[c];
                marginals->add_segment(gathered ? buffer + c * segment : amplitudes + first, segment, first);
            }
        }
        if (gathered) scatter(layout, buffer, amplitudes + base);
    }
    if (marginals) shared->merge(*marginals);
}

}  // namespace

void apply_stretch(const StretchLayout& layout, Complex* amplitudes, unsigned n, SharedMarginals* marginals) {
    if (!layout.in_place) prepare_gather_buffers();
    const std::uint64_t blocks = std::uint64_t{1} << (n - layout.qubits);
    pool::for_each_range(
        blocks, [&](std::uint64_t lo, std::uint64_t hi) { apply_to_blocks(layout, amplitudes, lo, hi, marginals); });
}

void test_hooks::refuse_gather_buffers(int nth) noexcept { g_refuse_buffers_in.store(nth, std::memory_order_relaxed); }

}  // namespace velqor::blocking

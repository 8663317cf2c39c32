#include "core/gate_queue.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "runtime/pool.hpp"
#include "core/pair_ops.hpp"
#include "core/pair_plan.hpp"

namespace velqor {
namespace {

using blocking::kBlockQubits;
using blocking::kLowQubits;
using blocking::kMinQubits;

// Loops with fewer pairs than this run on the calling thread: handing them to
// the pool costs more than the work.
constexpr std::uint64_t kSerialPairs = std::uint64_t{1} << 14;

// The whole-state loop of one gate over the plan's pairs.
template <class Op>
void run_plan(const kernels::PairPlan& plan, Complex* amplitudes, Op op) {
    if constexpr (requires { op.stream_zeros; }) op.stream_zeros = kernels::streams_zeros(plan);
    const auto body = [&](std::uint64_t lo, std::uint64_t hi) {
        kernels::for_each_run(plan, amplitudes, lo, hi, op);
        op.finish();
    };
    if (plan.pairs < kSerialPairs) {
        body(0, plan.pairs);
    } else {
        pool::for_each_range(plan.pairs, body);
    }
}

// Scatters the low bits of `value` into the set bits of `mask`, lowest first.
std::uint64_t deposit(std::uint64_t value, std::uint64_t mask) noexcept {
    std::uint64_t out = 0;
    while (mask != 0 && value != 0) {
        const std::uint64_t bit = mask & -mask;
        if (value & 1) out |= bit;
        value >>= 1;
        mask &= mask - 1;
    }
    return out;
}

// Applies one gate to the 2^q amplitudes of a block, with the widest lanes of
// the processor. Each is compiled for its target with everything it calls
// inlined into it (flatten), so the lanes' operations are inlined too.
template <class L>
inline void apply_in_block_with(const Gate& g, const kernels::PairPlan& plan, Complex* data) {
    kernels::visit_op<L>(g, [&](auto op) { kernels::for_each_run(plan, data, 0, plan.pairs, op); });
}

__attribute__((flatten)) void apply_in_block_sse2(const Gate& g, const kernels::PairPlan& plan, Complex* data) {
    apply_in_block_with<kernels::Sse2Lanes>(g, plan, data);
}

VELQOR_TARGET_AVX2 __attribute__((flatten)) void apply_in_block_avx2(const Gate& g, const kernels::PairPlan& plan,
                                                                      Complex* data) {
    apply_in_block_with<kernels::Avx2Lanes>(g, plan, data);
}

VELQOR_TARGET_AVX512 __attribute__((flatten)) void apply_in_block_avx512(const Gate& g, const kernels::PairPlan& plan,
                                                                          Complex* data) {
    apply_in_block_with<kernels::Avx512Lanes>(g, plan, data);
}

using BlockKernel = void (*)(const Gate&, const kernels::PairPlan&, Complex*);

BlockKernel block_kernel() noexcept {
    switch (kernels::active_isa()) {
        case kernels::Isa::Avx512: return &apply_in_block_avx512;
        case kernels::Isa::Avx2: return &apply_in_block_avx2;
        case kernels::Isa::Sse2: break;
    }
    return &apply_in_block_sse2;
}

// Where the gates of one run act in a block, the block's qubits being the low
// qubits 0 .. low-1 plus the run's targets above them (`high`, ascending): a
// block-local index has the low qubits in place and high qubit j at bit low + j.
struct LocalGate {
    const Gate* gate;
    kernels::PairPlan plan;      // on the block's 2^q amplitudes
    std::uint64_t outside_mask;  // controls outside the block: whole blocks pass or fail
};

struct RunLayout {
    unsigned low = 0;                 // qubits 0 .. low-1 are contiguous in a block
    std::uint64_t high_mask = 0;      // the run's targets at or above `low`
    std::uint64_t outside_mask = 0;   // every qubit of the state outside the block
    unsigned qubits = 0;              // low + popcount(high_mask)
    std::vector<std::uint64_t> chunk_offsets;  // offset of each 2^low piece from the block's base
    std::vector<LocalGate> gates;
    BlockKernel kernel = nullptr;
};

unsigned local_qubit(const RunLayout& layout, unsigned q) noexcept {
    if (q < layout.low) return q;
    const std::uint64_t below = layout.high_mask & ((std::uint64_t{1} << q) - 1);
    return layout.low + static_cast<unsigned>(std::popcount(below >> layout.low));
}

RunLayout make_layout(const GateQueue& queue, std::size_t begin, std::size_t end, unsigned n) {
    std::uint64_t targets = 0;
    for (std::size_t i = begin; i < end; ++i) targets |= std::uint64_t{1} << queue[i].target;
    // As many low qubits as the block has room for beside the targets above
    // them (run_end leaves room for kLowQubits at least).
    RunLayout layout;
    for (unsigned low = kBlockQubits; low >= kLowQubits; --low) {
        const unsigned above = static_cast<unsigned>(std::popcount(targets >> low));
        if (low + above <= kBlockQubits) {
            layout.low = low;
            break;
        }
    }
    layout.high_mask = (targets >> layout.low) << layout.low;
    layout.qubits = layout.low + static_cast<unsigned>(std::popcount(layout.high_mask));
    const std::uint64_t all = (std::uint64_t{1} << n) - 1;
    layout.outside_mask = all & ~(layout.high_mask | ((std::uint64_t{1} << layout.low) - 1));
    const std::uint64_t chunks = std::uint64_t{1} << (layout.qubits - layout.low);
    layout.chunk_offsets.resize(chunks);
    for (std::uint64_t c = 0; c < chunks; ++c) layout.chunk_offsets[c] = deposit(c, layout.high_mask);
    layout.kernel = block_kernel();
    layout.gates.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
        const QueuedGate& g = queue[i];
        LocalGate local{&g.gate, {}, g.control_mask & layout.outside_mask};
        std::uint64_t inside = 0;
        std::uint64_t controls = g.control_mask & ~layout.outside_mask;
        while (controls != 0) {
            inside |= std::uint64_t{1} << local_qubit(layout, static_cast<unsigned>(std::countr_zero(controls)));
            controls &= controls - 1;
        }
        kernels::make_plan_from_mask(layout.qubits, local_qubit(layout, g.target), inside, local.plan);
        layout.gates.push_back(local);
    }
    return layout;
}

// The block buffer of the calling thread, for blocks whose qubits are not all
// low ones (each worker has its own; it lives as long as the thread).
Complex* block_buffer() {
    struct Deleter {
        void operator()(Complex* p) const noexcept { ::operator delete[](p, std::align_val_t{64}); }
    };
    thread_local std::unique_ptr<Complex[], Deleter> buffer;
    if (!buffer) {
        void* memory = ::operator new[](sizeof(Complex) << kBlockQubits, std::align_val_t{64});
        buffer.reset(static_cast<Complex*>(memory));
    }
    return buffer.get();
}

// Blocks [lo, hi) of the run: gather (unless the block is contiguous), every
// selected gate in order, scatter back.
void run_blocks(const RunLayout& layout, Complex* amplitudes, std::uint64_t lo, std::uint64_t hi) {
    const std::size_t gate_count = layout.gates.size();
    const std::uint64_t piece = std::uint64_t{1} << layout.low;
    const bool contiguous = layout.high_mask == 0;
    Complex* buffer = contiguous ? nullptr : block_buffer();
    bool selected[GateQueue::kCapacity];
    for (std::uint64_t b = lo; b < hi; ++b) {
        const std::uint64_t base = deposit(b, layout.outside_mask);
        bool any = false;
        for (std::size_t i = 0; i < gate_count; ++i) {
            const std::uint64_t mask = layout.gates[i].outside_mask;
            selected[i] = (base & mask) == mask;
            any = any || selected[i];
        }
        if (!any) continue;
        Complex* data = amplitudes + base;
        if (!contiguous) {
            for (std::size_t c = 0; c < layout.chunk_offsets.size(); ++c) {
                std::memcpy(buffer + c * piece, amplitudes + base + layout.chunk_offsets[c], piece * sizeof(Complex));
            }
            data = buffer;
        }
        for (std::size_t i = 0; i < gate_count; ++i) {
            if (!selected[i]) continue;
            layout.kernel(*layout.gates[i].gate, layout.gates[i].plan, data);
        }
        if (!contiguous) {
            for (std::size_t c = 0; c < layout.chunk_offsets.size(); ++c) {
                std::memcpy(amplitudes + base + layout.chunk_offsets[c], buffer + c * piece, piece * sizeof(Complex));
            }
        }
    }
}

void run_blocked(const GateQueue& queue, std::size_t begin, std::size_t end, Complex* amplitudes, unsigned n) {
    const RunLayout layout = make_layout(queue, begin, end, n);
    const std::uint64_t blocks = std::uint64_t{1} << (n - layout.qubits);
    pool::for_each_range(blocks, [&](std::uint64_t lo, std::uint64_t hi) { run_blocks(layout, amplitudes, lo, hi); });
}

}  // namespace

namespace kernels {
namespace {
std::atomic<int> g_forced_isa{-1};
}

Isa detected_isa() noexcept {
    static const Isa isa = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return Isa::Avx512;
        if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
        return Isa::Sse2;
    }();
    return isa;
}

Isa active_isa() noexcept {
    const int forced = g_forced_isa.load(std::memory_order_relaxed);
    return forced < 0 ? detected_isa() : static_cast<Isa>(forced);
}

void test_hooks::force_isa(Isa isa) noexcept {
    g_forced_isa.store(static_cast<int>(std::min(isa, detected_isa())), std::memory_order_relaxed);
}

}  // namespace kernels

void apply_now(const QueuedGate& gate, Complex* amplitudes, unsigned n) {
    kernels::PairPlan plan;
    kernels::make_plan_from_mask(n, gate.target, gate.control_mask, plan);
    kernels::visit_op(gate.gate, [&](auto op) { run_plan(plan, amplitudes, op); });
}

std::size_t blocking::run_end(const GateQueue& queue, std::size_t begin) noexcept {
    std::uint64_t high = 0;
    std::size_t i = begin;
    for (; i < queue.size(); ++i) {
        const std::uint32_t t = queue[i].target;
        if (t < kLowQubits) continue;
        const std::uint64_t next = high | (std::uint64_t{1} << t);
        if (static_cast<unsigned>(std::popcount(next)) > kBlockQubits - kLowQubits) break;
        high = next;
    }
    return i;
}

void run_queue(const GateQueue& queue, Complex* amplitudes, unsigned n) {
    std::size_t begin = 0;
    while (begin < queue.size()) {
        const std::size_t end = n < kMinQubits ? begin + 1 : blocking::run_end(queue, begin);
        if (end - begin == 1) {
            apply_now(queue[begin], amplitudes, n);
        } else {
            run_blocked(queue, begin, end, amplitudes, n);
        }
        begin = end;
    }
}

}  // namespace velqor

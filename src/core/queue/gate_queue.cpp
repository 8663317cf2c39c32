#include "core/queue/gate_queue.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include <emmintrin.h>

#include "runtime/pool.hpp"
#include "core/buffer.hpp"
#include "core/marginals.hpp"
#include "core/kernels/pair_ops.hpp"
#include "core/kernels/pair_plan.hpp"

namespace velqor {
namespace {

using blocking::kBlockQubits;
using blocking::kLowQubits;
using blocking::kMinQubits;

// The whole-state loop of one gate over the plan's pairs.
template <class Op>
void run_plan(const kernels::PairPlan& plan, Complex* amplitudes, Op op) {
    if constexpr (requires { op.stream_zeros; }) op.stream_zeros = kernels::streams_zeros(plan);
    const auto body = [&](std::uint64_t lo, std::uint64_t hi) {
        kernels::for_each_run(plan, amplitudes, lo, hi, op);
        op.finish();
    };
    pool::for_each_range_unless_small(plan.pairs, body);
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
// the processor. The traversal of each op is compiled for its lanes' target
// with everything it calls inlined into it (flatten), so that the lanes'
// operations are inlined too; the op itself holds plain numbers and is passed
// by reference, so no vector value crosses from one target to another.
template <class Op>
__attribute__((flatten)) void traverse_sse2(const kernels::PairPlan& plan, Complex* data, const Op& op) {
    kernels::for_each_run<false>(plan, data, 0, plan.pairs, op);
}

template <class Op>
VELQOR_TARGET_AVX2 __attribute__((flatten)) void traverse_avx2(const kernels::PairPlan& plan, Complex* data,
                                                               const Op& op) {
    kernels::for_each_run<false>(plan, data, 0, plan.pairs, op);
}

template <class Op>
VELQOR_TARGET_AVX512 __attribute__((flatten)) void traverse_avx512(const kernels::PairPlan& plan, Complex* data,
                                                                   const Op& op) {
    kernels::for_each_run<false>(plan, data, 0, plan.pairs, op);
}

void apply_in_block_sse2(const Gate& g, const kernels::PairPlan& plan, Complex* data) {
    kernels::visit_op<kernels::Sse2Lanes>(g, [&](const auto& op) { traverse_sse2(plan, data, op); });
}

void apply_in_block_avx2(const Gate& g, const kernels::PairPlan& plan, Complex* data) {
    kernels::visit_op<kernels::Avx2Lanes>(g, [&](const auto& op) { traverse_avx2(plan, data, op); });
}

void apply_in_block_avx512(const Gate& g, const kernels::PairPlan& plan, Complex* data) {
    kernels::visit_op<kernels::Avx512Lanes>(g, [&](const auto& op) { traverse_avx512(plan, data, op); });
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

// Where the gates of one run act in a block. The block's qubits are the low
// qubits 0 .. low-1, in place, and the run's targets above them, each at a
// local bit low + j; the targets named by the most gates take the lowest of
// these bits. A block-local index thus has the block's qubits at those bits.
//
// Inside a block the gates run in groups of consecutive gates whose local
// targets fit one sub-block of 2^kSubQubits amplitudes (32 KiB, in the
// first-level cache): each group is applied to one sub-block after the other,
// so one pass over the block, out of the second-level cache, serves the whole
// group. A sub-block holds the group's targets and the lowest other local
// qubits; the local qubits left out of it (`fixed`) are constant across it, and
// its amplitudes are found in place, from the index with those bits of the
// sub-block set. A local control among the fixed qubits selects whole
// sub-blocks, as a control outside the block selects whole blocks.
constexpr unsigned kSubQubits = 11;

// Fixed qubits below this bit would leave a sub-block on a fraction of the
// first-level cache's sets (their index is bits 6 to 11 of the address, local
// bits 2 to 7): its lines would then evict each other.
constexpr unsigned kSetQubits = 8;

struct LocalGate {
    const Gate* gate;
    kernels::PairPlan plan;      // on the pairs of the sub-block with every fixed qubit 0
    std::uint64_t outside_mask;  // controls outside the block: whole blocks pass or fail
    std::uint64_t fixed_select;  // local controls among the fixed qubits: whole sub-blocks pass or fail
};

struct SubGroup {
    std::size_t begin, end;  // its gates, indices into RunLayout::gates
    std::uint64_t fixed;     // local qubits outside its sub-blocks
};

struct RunLayout {
    unsigned low = 0;                          // qubits 0 .. low-1 are contiguous in a block
    std::uint64_t high_mask = 0;               // the run's targets at or above `low`
    unsigned high[64] = {};                    // those targets, by local bit: high[j] is at bit low + j
    std::uint64_t outside_mask = 0;            // every qubit of the state outside the block
    unsigned qubits = 0;                       // low + popcount(high_mask)
    std::vector<std::uint64_t> chunk_offsets;  // offset of each 2^low piece from the block's base
    std::vector<LocalGate> gates;
    std::vector<SubGroup> groups;  // the gates, in order, cut into groups
    BlockKernel kernel = nullptr;
};

unsigned local_qubit(const RunLayout& layout, unsigned q) noexcept {
    if (q < layout.low) return q;
    unsigned j = 0;
    while (layout.high[j] != q) ++j;
    return layout.low + j;
}

// The local qubits left out of a sub-block of `qubits` local qubits that holds
// the targets of `targets`, filled up with the lowest others.
std::uint64_t fixed_qubits(std::uint64_t targets, unsigned qubits) noexcept {
    const std::uint64_t all = (std::uint64_t{1} << qubits) - 1;
    if (qubits <= kSubQubits) return 0;
    std::uint64_t inside = targets;
    for (std::uint64_t rest = all & ~targets; std::popcount(inside) < static_cast<int>(kSubQubits); rest &= rest - 1) {
        inside |= rest & -rest;
    }
    return all & ~inside;
}

// Cuts the run's gates (local targets in order) into the longest groups whose
// sub-blocks hold all their targets and fix no qubit below kSetQubits.
std::vector<SubGroup> make_groups(const std::vector<unsigned>& targets, unsigned qubits) {
    std::vector<SubGroup> groups;
    const std::uint64_t set_bits = (std::uint64_t{1} << kSetQubits) - 1;
    std::size_t begin = 0;
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const std::uint64_t next = mask | (std::uint64_t{1} << targets[i]);
        const std::uint64_t fixed = fixed_qubits(next, qubits);
        const bool fits = std::popcount(next) <= static_cast<int>(kSubQubits) && (fixed & set_bits) == 0;
        if (!fits && i > begin) {
            groups.push_back({begin, i, fixed_qubits(mask, qubits)});
            begin = i;
            mask = std::uint64_t{1} << targets[i];
        } else {
            mask = next;
        }
    }
    if (begin < targets.size()) groups.push_back({begin, targets.size(), fixed_qubits(mask, qubits)});
    return groups;
}

RunLayout make_layout(const GateQueue& queue, std::size_t begin, std::size_t end, unsigned n) {
    std::uint64_t targets = 0;
    unsigned uses[64] = {};
    for (std::size_t i = begin; i < end; ++i) {
        targets |= std::uint64_t{1} << queue[i].target;
        ++uses[queue[i].target];
    }
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
    const unsigned high_count = static_cast<unsigned>(std::popcount(layout.high_mask));
    layout.qubits = layout.low + high_count;
    for (std::uint64_t rest = layout.high_mask, j = 0; rest != 0; rest &= rest - 1, ++j) {
        layout.high[j] = static_cast<unsigned>(std::countr_zero(rest));
    }
    std::stable_sort(layout.high, layout.high + high_count,
                     [&uses](unsigned x, unsigned y) { return uses[x] > uses[y]; });
    const std::uint64_t all = (std::uint64_t{1} << n) - 1;
    layout.outside_mask = all & ~(layout.high_mask | ((std::uint64_t{1} << layout.low) - 1));
    const std::uint64_t chunks = std::uint64_t{1} << high_count;
    layout.chunk_offsets.resize(chunks);
    for (std::uint64_t c = 0; c < chunks; ++c) {
        std::uint64_t offset = 0;
        for (unsigned j = 0; j < high_count; ++j) offset |= ((c >> j) & 1) << layout.high[j];
        layout.chunk_offsets[c] = offset;
    }
    layout.kernel = block_kernel();
    std::vector<unsigned> local_targets;
    local_targets.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) local_targets.push_back(local_qubit(layout, queue[i].target));
    layout.groups = make_groups(local_targets, layout.qubits);
    layout.gates.reserve(end - begin);
    for (const SubGroup& group : layout.groups) {
        for (std::size_t i = group.begin; i < group.end; ++i) {
            const QueuedGate& g = queue[begin + i];
            LocalGate local{&g.gate, {}, g.control_mask & layout.outside_mask, 0};
            std::uint64_t inside = 0;
            std::uint64_t controls = g.control_mask & ~layout.outside_mask;
            while (controls != 0) {
                inside |= std::uint64_t{1} << local_qubit(layout, static_cast<unsigned>(std::countr_zero(controls)));
                controls &= controls - 1;
            }
            local.fixed_select = inside & group.fixed;
            kernels::make_plan_from_mask(layout.qubits, local_targets[i], inside & ~group.fixed, local.plan,
                                         group.fixed);
            layout.gates.push_back(local);
        }
    }
    return layout;
}

// Applies the selected gates of the run, in order, to the block's amplitudes.
void apply_run(const RunLayout& layout, const bool* selected, Complex* data) {
    for (const SubGroup& group : layout.groups) {
        bool any = false;
        for (std::size_t k = group.begin; k < group.end; ++k) any = any || selected[k];
        if (!any) continue;
        const std::uint64_t subs = std::uint64_t{1} << std::popcount(group.fixed);
        for (std::uint64_t s = 0; s < subs; ++s) {
            const std::uint64_t bits = deposit(s, group.fixed);
            for (std::size_t k = group.begin; k < group.end; ++k) {
                const LocalGate& g = layout.gates[k];
                if (selected[k] && (bits & g.fixed_select) == g.fixed_select) {
                    layout.kernel(*g.gate, g.plan, data + bits);
                }
            }
        }
    }
}

// Gather buffers for blocks whose qubits are not all low ones: one per pool
// worker and one per thread that starts runs, each kept for the life of the
// process (or thread). All are obtained by the starting thread before a run
// begins, so a refused allocation fails the read before any amplitude has
// changed; a worker that failed to get one midway would leave the state half
// updated.
constexpr std::size_t kBufferAmplitudes = std::size_t{1} << kBlockQubits;
constexpr std::size_t kMaxWorkerBuffers = 256;  // more than the pool's largest worker count

std::mutex g_worker_buffers_mutex;
// Filled under g_worker_buffers_mutex, once per slot; read by the slot's worker
// without the lock, after the fill was published to it with the run's jobs.
std::array<Buffer<Complex>, kMaxWorkerBuffers> g_worker_buffers;
thread_local Buffer<Complex> t_starter_buffer;
std::atomic<int> g_refuse_buffers_in{0};

// Makes sure the calling thread and every pool worker have a gather buffer.
// Throws std::bad_alloc when the memory is refused; nothing changes then.
void prepare_gather_buffers() {
    const int refuse = g_refuse_buffers_in.load(std::memory_order_relaxed);
    if (refuse > 0) {
        g_refuse_buffers_in.store(refuse - 1, std::memory_order_relaxed);
        if (refuse == 1) throw std::bad_alloc();
    }
    if (t_starter_buffer.size() == 0) t_starter_buffer = Buffer<Complex>(kBufferAmplitudes);
    const std::size_t workers = std::min(pool::current_num_threads(), kMaxWorkerBuffers);
    std::lock_guard lock(g_worker_buffers_mutex);
    for (std::size_t i = 0; i < workers; ++i) {
        if (g_worker_buffers[i].size() == 0) g_worker_buffers[i] = Buffer<Complex>(kBufferAmplitudes);
    }
}

// The calling thread's gather buffer: its worker slot, or the starter's own.
Complex* block_buffer() noexcept {
    const std::size_t worker = pool::current_worker_index();
    return worker == pool::kNotAWorker ? t_starter_buffer.data() : g_worker_buffers[worker].data();
}

// Copies the block's pieces into the buffer. The pieces lie far apart (a few
// cache lines each), where the hardware prefetchers do not follow: the lines of
// the piece kAhead places on are requested while this one is copied.
void gather(const RunLayout& layout, const Complex* base, Complex* buffer) {
    constexpr std::size_t kAhead = 4;
    constexpr std::uint64_t kLineAmplitudes = 4;
    const std::uint64_t piece = std::uint64_t{1} << layout.low;
    const std::uint64_t lines = std::min<std::uint64_t>(piece / kLineAmplitudes, 16);
    const std::size_t count = layout.chunk_offsets.size();
    for (std::size_t c = 0; c < count; ++c) {
        if (c + kAhead < count) {
            const char* next = reinterpret_cast<const char*>(base + layout.chunk_offsets[c + kAhead]);
            for (std::uint64_t l = 0; l < lines; ++l) _mm_prefetch(next + 64 * l, _MM_HINT_T0);
        }
        std::memcpy(buffer + c * piece, base + layout.chunk_offsets[c], piece * sizeof(Complex));
    }
}

// The marginal totals a read asks for, formed in the last run's pass.
struct MarginalCollector {
    explicit MarginalCollector(unsigned qubit) noexcept : target(qubit), sums(qubit) {}
    const unsigned target;
    std::mutex mutex;  // guards `sums` while workers add their blocks' totals
    MarginalSums sums;
};

// Blocks [lo, hi) of the run: gather (unless the block is contiguous), every
// selected gate in order, the marginal totals when asked for while the block
// is in cache (also of a block no gate changes), scatter back.
void run_blocks(const RunLayout& layout, Complex* amplitudes, std::uint64_t lo, std::uint64_t hi,
                MarginalCollector* collect) {
    const std::size_t gate_count = layout.gates.size();
    const std::uint64_t piece = std::uint64_t{1} << layout.low;
    const std::size_t pieces = layout.chunk_offsets.size();
    const bool contiguous = layout.high_mask == 0;
    Complex* buffer = contiguous ? nullptr : block_buffer();
    std::optional<MarginalSums> marginals;
    if (collect != nullptr) marginals.emplace(collect->target);
    bool selected[GateQueue::kCapacity];
    for (std::uint64_t b = lo; b < hi; ++b) {
        const std::uint64_t base = deposit(b, layout.outside_mask);
        bool any = false;
        for (std::size_t i = 0; i < gate_count; ++i) {
            const std::uint64_t mask = layout.gates[i].outside_mask;
            selected[i] = (base & mask) == mask;
            any = any || selected[i];
        }
        const bool gathered = any && !contiguous;
        if (any) {
            Complex* data = amplitudes + base;
            if (gathered) {
                gather(layout, amplitudes + base, buffer);
                data = buffer;
            }
            apply_run(layout, selected, data);
        }
        if (marginals) {
            for (std::size_t c = 0; c < pieces; ++c) {
                const std::uint64_t first = base + layout.chunk_offsets[c];
                marginals->add_piece(gathered ? buffer + c * piece : amplitudes + first, piece, first);
            }
        }
        if (gathered) {
            for (std::size_t c = 0; c < pieces; ++c) {
                std::memcpy(amplitudes + base + layout.chunk_offsets[c], buffer + c * piece, piece * sizeof(Complex));
            }
        }
    }
    if (marginals) {
        const std::lock_guard lock(collect->mutex);
        collect->sums.add(*marginals);
    }
}

void run_blocked(const GateQueue& queue, std::size_t begin, std::size_t end, Complex* amplitudes, unsigned n,
                 MarginalCollector* collect) {
    const RunLayout layout = make_layout(queue, begin, end, n);
    if (layout.high_mask != 0) prepare_gather_buffers();
    const std::uint64_t blocks = std::uint64_t{1} << (n - layout.qubits);
    pool::for_each_range(blocks,
                         [&](std::uint64_t lo, std::uint64_t hi) { run_blocks(layout, amplitudes, lo, hi, collect); });
}

// Applies the queue run by run, each run leaving the queue once applied. With
// `keep_last`, a last run that later gates could still join stays queued,
// unless it is the whole queue. With `collect`, the last run also forms the
// marginal totals; returns whether it did (not when the state is too small
// for blocks, or nothing was queued).
bool run_runs(GateQueue& queue, Complex* amplitudes, unsigned n, bool keep_last, MarginalCollector* collect) {
    const bool blocked = n >= kMinQubits;
    bool first = true;
    while (!queue.empty()) {
        const std::size_t end = blocked ? blocking::run_end(queue, 0) : 1;
        const bool last = end == queue.size();
        if (last && blocked && keep_last && !first) return false;
        if (last && blocked && collect != nullptr) {
            run_blocked(queue, 0, end, amplitudes, n, collect);
            queue.clear();
            return true;
        }
        // A gate alone on a qubit below the block size runs in place, block by
        // block, with the widest lanes; higher ones in the whole-state loop,
        // whose rows are long, rather than gathered.
        if (end == 1 && (!blocked || queue[0].target >= kBlockQubits)) {
            apply_now(queue[0], amplitudes, n);
        } else {
            run_blocked(queue, 0, end, amplitudes, n, nullptr);
        }
        queue.drop_front(end);
        first = false;
    }
    return false;
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

void run_queue(GateQueue& queue, Complex* amplitudes, unsigned n) { run_runs(queue, amplitudes, n, false, nullptr); }

void run_complete_runs(GateQueue& queue, Complex* amplitudes, unsigned n) {
    run_runs(queue, amplitudes, n, true, nullptr);
}

Marginals run_queue_with_marginals(GateQueue& queue, Complex* amplitudes, unsigned n, unsigned t) {
    MarginalCollector collect(t);
    if (run_runs(queue, amplitudes, n, false, &collect)) return collect.sums.totals();
    return marginal_totals(amplitudes, n, t);
}

void blocking::test_hooks::refuse_gather_buffers(int nth) noexcept {
    g_refuse_buffers_in.store(nth, std::memory_order_relaxed);
}

}  // namespace velqor

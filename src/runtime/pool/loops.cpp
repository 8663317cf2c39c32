#include "runtime/pool/loops.hpp"

#include <algorithm>

#include "runtime/pool/scheduler.hpp"

namespace velqor::pool::detail {
namespace {

struct Loop {
    Pool* pool;
    RangeFn body;
    void* context;
    std::size_t workers;
};

// One half of a split range, with the split budget it carries.
struct Half {
    const Loop* loop;
    std::uint64_t begin;
    std::uint64_t end;
    std::size_t splits;
};

void run_range(const Loop& loop, std::uint64_t begin, std::uint64_t end, std::size_t splits, bool moved);

void run_half(void* context, bool moved) {
    const Half& half = *static_cast<const Half*>(context);
    run_range(*half.loop, half.begin, half.end, half.splits, moved);
}

// Adaptive splitting: a stolen half re-arms the split budget to at least W,
// otherwise the budget halves on every split until it is used up; a range
// that is not split is one piece, handed to the body whole.
void run_range(const Loop& loop, std::uint64_t begin, std::uint64_t end, std::size_t splits, bool moved) {
    const std::uint64_t len = end - begin;
    if (len / 2 >= 1) {
        bool split = true;
        if (moved) {
            splits = std::max(splits / 2, loop.workers);
        } else if (splits == 0) {
            split = false;
        } else {
            splits /= 2;
        }
        if (split) {
            const std::uint64_t mid = begin + len / 2;
            Half lower{&loop, begin, mid, splits};
            Half upper{&loop, mid, end, splits};
            join(*loop.pool, &run_half, &lower, &run_half, &upper);
            return;
        }
    }
    loop.body(loop.context, begin, end);
}

}  // namespace

void run_loop(Pool& pool, std::uint64_t n, RangeFn body, void* context) {
    if (n == 0) return;
    const Loop loop{&pool, body, context, pool.num_threads};
    run_range(loop, 0, n, pool.num_threads, false);
}

}  // namespace velqor::pool::detail

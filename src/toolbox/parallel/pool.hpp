// The process-wide worker pool.
//
// One pool of worker threads, as many as the processors this process may run
// on, started by the first parallel step and kept until the process ends (the
// engine has no initialisation or shutdown call). Work is fork-join: `join`
// offers its second half to the pool and runs the first itself; idle workers
// steal offered halves, oldest (largest) first. A thread that waits for a
// stolen half runs other queued work meanwhile, so nested joins, from workers
// or from any number of outside threads at once, never deadlock.
//
// An exception thrown by either half (a `toolbox::Fault`, `std::bad_alloc`)
// reaches the caller of `join` only after both halves have finished, so no
// half outlives the frame that owns its captures.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>

namespace toolbox::parallel {

namespace detail {

// Runs `a` on the calling thread and `b` on the pool or, when no worker took
// it, on the calling thread; returns when both are done. Rethrows the first
// half's exception, else the second's.
void join_tasks(void (*a)(void*), void* a_context, void (*b)(void*), void* b_context);

}  // namespace detail

// Number of worker threads of the pool (starts the pool). At least 1 unless no
// thread could be started, in which case every join runs on the caller.
std::size_t worker_count();

// Runs `a()` and `b()`, possibly at the same time, and returns when both have
// finished. An exception from either is rethrown after both finished (the
// first half's when both throw).
template <class A, class B>
void join(A&& a, B&& b) {
    using AR = std::remove_reference_t<A>;
    using BR = std::remove_reference_t<B>;
    detail::join_tasks([](void* p) { (*static_cast<AR*>(p))(); }, static_cast<void*>(&a),
                       [](void* p) { (*static_cast<BR*>(p))(); }, static_cast<void*>(&b));
}

// The callables handed to `parallel_for` and `parallel_fold` are shared by
// every part and may be called from several threads at once.

// Calls `f(i)` for every i in [begin, end), splitting the range in halves until
// a part holds at most `grain` indices. The split depends only on the range
// and the grain, never on timing.
template <class F>
void parallel_for(std::size_t begin, std::size_t end, std::size_t grain, F f) {
    if (grain == 0) grain = 1;
    struct Split {
        static void run(std::size_t lo, std::size_t hi, std::size_t g, const F& fn) {
            if (hi - lo <= g) {
                for (std::size_t i = lo; i < hi; ++i) fn(i);
                return;
            }
            const std::size_t mid = lo + (hi - lo) / 2;
            join([&] { run(lo, mid, g, fn); }, [&] { run(mid, hi, g, fn); });
        }
    };
    if (begin >= end) return;
    Split::run(begin, end, grain, f);
}

// `join(a, b)` when `parallel`, else a() then b() on the calling thread: for
// independent steps whose size decides whether handing one to the pool pays.
template <class A, class B>
void join_if(bool parallel, A&& a, B&& b) {
    if (parallel) {
        join(std::forward<A>(a), std::forward<B>(b));
    } else {
        a();
        b();
    }
}

// Per-row work over a large matrix is spread over the pool in blocks of this
// many rows, and only from this many rows on: below it, handing the blocks
// out costs more than it saves.
inline constexpr std::size_t kRowsPerBlock = 4096;
inline constexpr std::size_t kParallelRowsFrom = 32768;

// Calls `f(first, last)` for consecutive row ranges covering [0, n): one call
// for the whole range below kParallelRowsFrom rows, else blocks of
// kRowsPerBlock rows run on the pool. For work whose every row is computed on
// its own, so that the split cannot change a result.
template <class F>
void for_row_blocks(std::size_t n, F f) {
    if (n < kParallelRowsFrom) {
        if (n > 0) f(std::size_t{0}, n);
        return;
    }
    const std::size_t blocks = (n + kRowsPerBlock - 1) / kRowsPerBlock;
    parallel_for(0, blocks, 1, [&](std::size_t b) {
        const std::size_t first = b * kRowsPerBlock;
        f(first, std::min(n, first + kRowsPerBlock));
    });
}

// Folds the jobs [begin, end) into accumulators and merges them in job order.
// The range is split in halves until a part holds at most `grain` jobs; each
// part starts from `make_acc()` and folds its jobs in order with
// `fold(acc, i)`; the two halves of every split are then combined as
// `merge(std::move(left), std::move(right))`, left being the earlier jobs.
// Because the split is fixed by the range and the grain, the result is the
// same on every run, however the parts were scheduled. An empty range gives
// `make_acc()`.
template <class MakeAcc, class Fold, class Merge>
auto parallel_fold(std::size_t begin, std::size_t end, std::size_t grain, MakeAcc make_acc,
                   Fold fold, Merge merge) -> std::invoke_result_t<MakeAcc&> {
    using Acc = std::invoke_result_t<MakeAcc&>;
    if (grain == 0) grain = 1;
    struct Split {
        static Acc run(std::size_t lo, std::size_t hi, std::size_t g, MakeAcc& mk, Fold& fo,
                       Merge& me) {
            if (hi - lo <= g) {
                Acc acc = mk();
                for (std::size_t i = lo; i < hi; ++i) fo(acc, i);
                return acc;
            }
            const std::size_t mid = lo + (hi - lo) / 2;
            std::optional<Acc> left, right;
            join([&] { left.emplace(run(lo, mid, g, mk, fo, me)); },
                 [&] { right.emplace(run(mid, hi, g, mk, fo, me)); });
            return me(std::move(*left), std::move(*right));
        }
    };
    if (begin >= end) return make_acc();
    return Split::run(begin, end, grain, make_acc, fold, merge);
}

}  // namespace toolbox::parallel

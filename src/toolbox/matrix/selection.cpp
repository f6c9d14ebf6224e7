#include "toolbox/matrix/selection.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#include <immintrin.h>

#include "toolbox/matrix/array.hpp"
#include "toolbox/simd.hpp"

namespace toolbox::matrix::sorting {

// The vector kernels, each with a copy per instruction set (toolbox/simd.hpp).
namespace kernels {

typedef std::uint64_t u64x4 __attribute__((vector_size(32)));
typedef std::uint64_t u64x8 __attribute__((vector_size(64)));

namespace {

// PartitionBelow's loop for AVX-512, a function of its own compiled for it:
// the compress instructions have no form in the portable vector types, and
// their builtins may only be inlined into code built for them. Returns where
// the keys below the pivot end; `above` gets how many went to `spill`.
#if !defined(QEL_SIMD_PORTABLE_ONLY)
[[gnu::target("avx512f")]] std::size_t partition_below_avx512(std::uint64_t* a, std::size_t lo, std::size_t hi,
                                                              std::uint64_t pivot, std::uint64_t* spill,
                                                              std::size_t& above) noexcept {
    const __m512i p = _mm512_set1_epi64(static_cast<long long>(pivot));
    std::size_t below = lo, i = lo, n_above = 0;
    for (; i + 8 <= hi; i += 8) {
        const __m512i v = _mm512_loadu_si512(a + i);
        const __mmask8 is_below = _mm512_cmplt_epu64_mask(v, p);
        _mm512_storeu_si512(a + below, _mm512_maskz_compress_epi64(is_below, v));
        _mm512_storeu_si512(spill + n_above, _mm512_maskz_compress_epi64(static_cast<__mmask8>(~is_below), v));
        const std::size_t c = static_cast<std::size_t>(__builtin_popcount(is_below));
        below += c;
        n_above += 8 - c;
    }
    above = n_above;
    return below;
}
#endif

// Keys below `pivot` to the front of [lo, hi), the others after them;
// returns where the others start. Every key is written to both places, the
// front of the range and `spill` (room for hi - lo keys), and only the count
// of its side moves on: no branch on the data, and no chain through memory
// from one key to the next. The others then follow from `spill`. With
// AVX-512, eight keys at a time, each side's keys packed into one vector;
// its writes past a side's keys land on keys already read, or in `spill`.
struct PartitionBelow {
    static constexpr simd::Level kWidest = simd::Level::Avx512;

    template <simd::Level L>
    [[gnu::always_inline]] static std::size_t run(std::uint64_t* a, std::size_t lo, std::size_t hi,
                                                  std::uint64_t pivot, std::uint64_t* spill) noexcept {
        std::size_t below = lo, above = 0, i = lo;
#if !defined(QEL_SIMD_PORTABLE_ONLY)
        if constexpr (L == simd::Level::Avx512) {
            below = partition_below_avx512(a, lo, hi, pivot, spill, above);
            i = lo + (hi - lo) / 8 * 8;
        }
#endif
        for (; i < hi; ++i) {
            const std::uint64_t v = a[i];
            const bool is_below = v < pivot;
            a[below] = v;
            spill[above] = v;
            below += is_below;
            above += !is_below;
        }
        std::copy_n(spill, above, a + below);
        return below;
    }
};

// Where in [lo, hi) the smallest key lies (the largest with `Largest`),
// each lane of a vector keeping the best key of its own positions and
// where it found it; any of several equal keys will do.
template <bool Largest>
struct ExtremeAt {
    static constexpr simd::Level kWidest = simd::Level::Avx512;

    template <simd::Level L>
    [[gnu::always_inline]] static std::size_t run(const std::uint64_t* a, std::size_t lo, std::size_t hi) noexcept {
        using V = std::conditional_t<L == simd::Level::Avx512, u64x8, u64x4>;
        constexpr std::size_t W = sizeof(V) / sizeof(std::uint64_t);
        auto better = [](std::uint64_t x, std::uint64_t y) { return Largest ? x > y : x < y; };
        std::size_t at = lo, i = lo;
        if (hi - lo >= 2 * W) {
            V best, where, place;
            std::memcpy(&best, a + lo, sizeof best);
            for (std::size_t l = 0; l < W; ++l) where[l] = lo + l;
            place = where;
            for (i = lo + W; i + W <= hi; i += W) {
                V v;
                std::memcpy(&v, a + i, sizeof v);
                place += W;
                const auto take = Largest ? v > best : v < best;
                best = take ? v : best;
                where = take ? place : where;
            }
            at = where[0];
            for (std::size_t l = 1; l < W; ++l)
                if (better(best[l], a[at])) at = where[l];
        }
        for (; i < hi; ++i)
            if (better(a[i], a[at])) at = i;
        return at;
    }
};

}  // namespace

}  // namespace kernels

namespace {

// PartitionBelow on the widest vectors the processor runs.
std::size_t partition_below(std::uint64_t* a, std::size_t lo, std::size_t hi, std::uint64_t pivot,
                            std::uint64_t* spill) noexcept {
    return simd::run<kernels::PartitionBelow>(a, lo, hi, pivot, spill);
}

std::uint64_t median_of_three(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// Below this a range is simply sorted.
constexpr std::size_t kSortedBelow = 24;

// Orders the keys of [lo, hi) so that each of the places [pb, pe) (ascending,
// within the range) holds the key a sort would put there: a quickselect that
// follows every part holding a wanted place. A round splits the range into
// the keys below the pivot and the others; when none is below it (the pivot
// is the smallest key), the keys equal to it are split off instead, so that
// many equal keys end a round rather than repeat it.
void select_places(std::uint64_t* a, std::size_t lo, std::size_t hi, const std::size_t* pb, const std::size_t* pe,
                   int depth, std::uint64_t* spill) {
    while (pb != pe) {
        if (hi - lo < kSortedBelow || depth-- == 0) {
            // Small, or partitioned badly too often: sorting settles it.
            std::sort(a + lo, a + hi);
            return;
        }
        // A wanted place at an end of the range holds its smallest or its
        // largest key: one scan finds it, where quickselect would halve the
        // range again and again down to it.
        if (*pb == lo) {
            std::iter_swap(a + lo, a + simd::run<kernels::ExtremeAt<false>>(a, lo, hi));
            ++pb;
            ++lo;
            continue;
        }
        if (pe[-1] == hi - 1) {
            std::iter_swap(a + hi - 1, a + simd::run<kernels::ExtremeAt<true>>(a, lo, hi));
            --pe;
            --hi;
            continue;
        }
        const std::uint64_t pivot = median_of_three(a[lo], a[lo + (hi - lo) / 2], a[hi - 1]);
        const std::size_t split = partition_below(a, lo, hi, pivot, spill);
        if (split == lo) {
            // Places among the keys equal to the pivot hold it already.
            const std::size_t above = pivot == UINT64_MAX ? hi : partition_below(a, lo, hi, pivot + 1, spill);
            pb = std::lower_bound(pb, pe, above);
            lo = above;
            continue;
        }
        const std::size_t* right = std::lower_bound(pb, pe, split);
        select_places(a, lo, split, pb, right, depth, spill);
        pb = right;
        lo = split;
    }
}

// Rounds of quickselect allowed beyond twice the halvings of a range before
// sorting takes over.
constexpr int kSpareRounds = 8;

}  // namespace

// Quickselect's rounds average a constant share of the range; many more than
// the halvings of the range mean a pattern it partitions badly, which
// sorting then settles.
void select_keys_at(std::uint64_t* keys, std::size_t n, std::vector<std::size_t>& places) {
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    const int depth = 2 * static_cast<int>(std::bit_width(n)) + kSpareRounds;
    Array1<std::uint64_t> spill = Array1<std::uint64_t>::uninit(n);
    select_places(keys, 0, n, places.data(), places.data() + places.size(), depth, spill.data());
}

}  // namespace toolbox::matrix::sorting

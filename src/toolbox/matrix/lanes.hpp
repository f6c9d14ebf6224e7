// Row-wise passes over the columns of a row-major matrix, with one running
// value per column kept in vector registers.
//
// A pass reads the matrix a row at a time (its memory order) and updates one
// running value per column; each column still takes its values in row order,
// so every result is that of a loop down the column. Running values kept in
// memory would make every row wait for the store of the row before; here the
// columns go in blocks of up to 16, four to a vector, held in registers for
// the whole pass.
//
// The kernels that use these blocks are templates on the number of vectors
// and are inlined into the copies of a simd kernel, one per instruction set,
// so the vectors never cross a call.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "toolbox/simd.hpp"

namespace toolbox::matrix::lanes {

using v4d = simd::f64x4;
using v4l = simd::i64x4;
using v8d = simd::f64x8;

inline constexpr std::size_t kLanes = 4;
inline constexpr std::size_t kMaxGroups = 4;

// The columns [first, first + count) of a matrix `width` columns wide, as
// `groups` vectors of four lanes. Group g reads the four columns from
// start[g]. When the width is not a multiple of four, the last group starts
// four columns before the end of the row and so repeats columns of the group
// before it: those lanes are computed and never stored. A matrix narrower
// than four columns has one group whose missing lanes read as 0.0.
struct Block {
    std::size_t first = 0;
    std::size_t count = 0;
    std::size_t width = 0;
    std::size_t groups = 0;
    std::size_t start[kMaxGroups] = {};

    bool narrow() const noexcept { return width < kLanes; }
    // Whether lane j of group g holds a column this block stores.
    bool stores(std::size_t g, std::size_t j) const noexcept {
        const std::size_t col = start[g] + j;
        return col >= first + kLanes * g && col < first + count && col < width;
    }
};

// The columns taken by one block: 16 from `first` on, or fewer at the end.
inline constexpr std::size_t kBlockColumns = kLanes * kMaxGroups;

// The block of the `width` columns that starts at column `first`; the blocks
// of a pass start at 0, kBlockColumns, 2 kBlockColumns, ... below `width`
// (steps of 4 * max_groups when fewer groups are asked for).
// A kernel with many running values per column takes fewer groups at a
// time (`max_groups`), so that they all stay in registers.
inline Block block_at(std::size_t width, std::size_t first, std::size_t max_groups = kMaxGroups) {
    Block b;
    b.first = first;
    b.count = std::min(kLanes * std::min(max_groups, kMaxGroups), width - first);
    b.width = width;
    b.groups = (b.count + kLanes - 1) / kLanes;
    for (std::size_t g = 0; g < b.groups; ++g) {
        const std::size_t s = first + kLanes * g;
        b.start[g] = width >= kLanes ? std::min(s, width - kLanes) : 0;
    }
    return b;
}

// Group g's four values of the row at `row` (the columns from start[g]).
[[gnu::always_inline]] inline v4d load(const Block& b, const double* row, std::size_t g) {
    if (b.narrow()) {
        const std::size_t w = b.width;
        return v4d{row[0], w > 1 ? row[1] : 0.0, w > 2 ? row[2] : 0.0, 0.0};
    }
    return simd::load<v4d>(row + b.start[g]);
}

// The same for a row of bytes (a mask), as lanes of all ones (true) and
// zeros (false). The four bytes are spread over the lanes with integer
// vector operations: converting them one by one costs a scalar round trip
// per lane.
[[gnu::always_inline]] inline v4l load_mask(const Block& b, const bool* row, std::size_t g) {
    if (b.narrow()) {
        const std::size_t w = b.width;
        return v4l{row[0] ? -1 : 0, w > 1 && row[1] ? -1 : 0, w > 2 && row[2] ? -1 : 0, 0};
    }
    std::uint32_t word;
    std::memcpy(&word, row + b.start[g], sizeof word);
    const std::int64_t x = word;
    const v4l spread = {x, x, x, x};
    const v4l byte = {0xFF, 0xFF00, 0xFF0000, 0xFF000000};
    return (spread & byte) != 0;
}

// The same as 1.0 and 0.0.
[[gnu::always_inline]] inline v4d load_flags(const Block& b, const bool* row, std::size_t g) {
    const v4d one = {1.0, 1.0, 1.0, 1.0};
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    return load_mask(b, row, g) ? one : zero;
}

// Writes group g's lanes that the block stores to out[column].
[[gnu::always_inline]] inline void store(const Block& b, std::size_t g, const v4d& v, double* out) {
    for (std::size_t j = 0; j < kLanes; ++j) {
        if (b.stores(g, j)) out[b.start[g] + j] = v[j];
    }
}

// Writes group g's values into the row at `row` (the columns from start[g]).
// A last group that repeats columns of the group before it writes them again
// with the values computed for them there, so this stores all four lanes.
[[gnu::always_inline]] inline void store_row(const Block& b, double* row, std::size_t g, const v4d& v) {
    if (b.narrow()) {
        for (std::size_t j = 0; j < b.width; ++j) row[j] = v[j];
        return;
    }
    simd::store(row + b.start[g], v);
}

// Per-column constants of group g (zero in lanes past the width).
[[gnu::always_inline]] inline v4d gather(const Block& b, const double* per_column, std::size_t g) {
    v4d v = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < kLanes; ++j) {
        const std::size_t col = b.start[g] + j;
        if (col < b.width) v[j] = per_column[col];
    }
    return v;
}

// Two groups of four lanes as one vector of eight (a kernel that carries
// both sides of a censor side by side), and the halves back.
[[gnu::always_inline]] inline v8d concat(const v4d& a, const v4d& b) {
    return __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7);
}
[[gnu::always_inline]] inline v4d low(const v8d& v) { return __builtin_shufflevector(v, v, 0, 1, 2, 3); }
[[gnu::always_inline]] inline v4d high(const v8d& v) { return __builtin_shufflevector(v, v, 4, 5, 6, 7); }

// Runs `Kernel<NV>::run(block, args...)` for the blocks of `width` columns in
// turn, MaxGroups groups at most at a time.
template <template <std::size_t> class Kernel, std::size_t MaxGroups = kMaxGroups, class... Args>
[[gnu::always_inline]] inline void over_columns(std::size_t width, Args&&... args);

// Runs `Kernel<NV>::run(block, args...)` with NV the block's number of groups.
template <template <std::size_t> class Kernel, class... Args>
[[gnu::always_inline]] inline void dispatch(const Block& b, Args&&... args) {
    switch (b.groups) {
        case 1: Kernel<1>::run(b, args...); break;
        case 2: Kernel<2>::run(b, args...); break;
        case 3: Kernel<3>::run(b, args...); break;
        default: Kernel<4>::run(b, args...); break;
    }
}

template <template <std::size_t> class Kernel, std::size_t MaxGroups, class... Args>
[[gnu::always_inline]] inline void over_columns(std::size_t width, Args&&... args) {
    static_assert(MaxGroups >= 1 && MaxGroups <= kMaxGroups);
    for (std::size_t first = 0; first < width; first += kLanes * MaxGroups) {
        const Block b = block_at(width, first, MaxGroups);
        if constexpr (MaxGroups == 1) {
            Kernel<1>::run(b, args...);
        } else {
            dispatch<Kernel>(b, args...);
        }
    }
}

// A simd kernel that runs `over_columns<Kernel, MaxGroups>(width, args...)`.
template <template <std::size_t> class Kernel, std::size_t MaxGroups = kMaxGroups>
struct OverColumns {
    template <simd::Level>
    [[gnu::always_inline]] static void run(std::size_t width, auto&&... args) {
        over_columns<Kernel, MaxGroups>(width, args...);
    }
};

}  // namespace toolbox::matrix::lanes

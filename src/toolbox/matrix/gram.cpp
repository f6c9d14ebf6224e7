#include "toolbox/matrix/gram.hpp"

#include <algorithm>
#include <cstring>

#include "toolbox/error.hpp"
#include "toolbox/simd.hpp"

namespace toolbox::matrix::gram {

namespace {

constexpr std::size_t kTileRows = 4;  // entries j of a tile; the chunk width is a multiple
constexpr std::size_t kChunkBytes = 24 * 1024;  // a chunk stays in the first-level cache

using simd::f64x4;
using simd::f64x8;
using simd::Level;

// One tile: entries j0 .. j0+4 by l0 .. l0+L*NV (L lanes per vector), held in
// registers while the rows (`stride` doubles apart) stream past. Each entry
// is one running sum that takes the rows in order; the vector lanes are
// distinct entries. With Centre the rows are read as they are and centred
// on `mean` here, value by value: the same differences, to the bit, as rows
// centred beforehand.
template <class Vec, std::size_t NV, bool Centre = false>
[[gnu::always_inline]] inline void tile(const double* rows, std::size_t n_rows, std::size_t stride, double* sums,
                                        std::size_t width, std::size_t j0, std::size_t l0,
                                        const double* mean = nullptr) {
    constexpr std::size_t L = sizeof(Vec) / sizeof(double);
    Vec acc[kTileRows][NV];
    for (std::size_t jj = 0; jj < kTileRows; ++jj)
        for (std::size_t v = 0; v < NV; ++v)
            std::memcpy(&acc[jj][v], sums + (j0 + jj) * width + l0 + L * v, sizeof(Vec));
    Vec m[NV] = {};
    double mj[kTileRows] = {};
    if constexpr (Centre) {
        for (std::size_t v = 0; v < NV; ++v) std::memcpy(&m[v], mean + l0 + L * v, sizeof(Vec));
        for (std::size_t jj = 0; jj < kTileRows; ++jj) mj[jj] = mean[j0 + jj];
    }
    const double* row = rows;
    for (std::size_t r = 0; r < n_rows; ++r, row += stride) {
        Vec c[NV];
        for (std::size_t v = 0; v < NV; ++v) {
            std::memcpy(&c[v], row + l0 + L * v, sizeof(Vec));
            if constexpr (Centre) c[v] = c[v] - m[v];
        }
        for (std::size_t jj = 0; jj < kTileRows; ++jj) {
            double b = row[j0 + jj];
            if constexpr (Centre) b = b - mj[jj];
            for (std::size_t v = 0; v < NV; ++v) acc[jj][v] += b * c[v];
        }
    }
    for (std::size_t jj = 0; jj < kTileRows; ++jj)
        for (std::size_t v = 0; v < NV; ++v)
            std::memcpy(sums + (j0 + jj) * width + l0 + L * v, &acc[jj][v], sizeof(Vec));
}

// sums[j][l] += sum over the chunk rows of c_rj * c_rl for l >= j, by tiles
// of 4 x 8 entries that start on the diagonal blocks (and a 4 x 4 tile where
// fewer than eight columns remain); with vectors of eight, tiles of 4 x 16
// entries, then 4 x 8 and 4 x 4 where fewer columns remain. The elementwise
// IEEE operations give the same bits at each level.
struct AccumulateUpper {
    static constexpr Level kWidest = Level::Avx512;

    template <Level L>
    [[gnu::always_inline]] static void run(const double* chunk, std::size_t rows, std::size_t width, double* sums) {
        for (std::size_t j0 = 0; j0 < width; j0 += kTileRows) {
            std::size_t l0 = j0;
            if constexpr (L == Level::Avx512) {
                for (; l0 + 16 <= width; l0 += 16) tile<f64x8, 2>(chunk, rows, width, sums, width, j0, l0);
                if (l0 + 8 <= width) {
                    tile<f64x8, 1>(chunk, rows, width, sums, width, j0, l0);
                    l0 += 8;
                }
            } else {
                for (; l0 + 8 <= width; l0 += 8) tile<f64x4, 2>(chunk, rows, width, sums, width, j0, l0);
            }
            if (l0 < width) tile<f64x4, 1>(chunk, rows, width, sums, width, j0, l0);
        }
    }
};

// The sums of the given tiles only, four or eight columns each: eight as one
// vector of eight or as two of four. Rows `stride` doubles apart; with
// Centre they are x's own rows, centred on `mean` as they are read.
template <bool Centre>
struct AccumulateTilesOf {
    static constexpr Level kWidest = Level::Avx512;

    template <Level L>
    [[gnu::always_inline]] static void run(const double* rows, std::size_t n_rows, std::size_t stride,
                                           std::size_t width, double* sums, const Tile* tiles, std::size_t n_tiles,
                                           const double* mean) {
        for (std::size_t t = 0; t < n_tiles; ++t) {
            const Tile& u = tiles[t];
            if (u.cols == 8) {
                if constexpr (L == Level::Avx512) {
                    tile<f64x8, 1, Centre>(rows, n_rows, stride, sums, width, u.j0, u.l0, mean);
                } else {
                    tile<f64x4, 2, Centre>(rows, n_rows, stride, sums, width, u.j0, u.l0, mean);
                }
            } else {
                tile<f64x4, 1, Centre>(rows, n_rows, stride, sums, width, u.j0, u.l0, mean);
            }
        }
    }
};

}  // namespace

std::vector<Tile> upper_tiles(std::size_t width) {
    std::vector<Tile> tiles;
    for (std::size_t j0 = 0; j0 < width; j0 += kTileRows) {
        std::size_t l0 = j0;
        for (; l0 + 8 <= width; l0 += 8) tiles.push_back({std::uint32_t(j0), std::uint32_t(l0), 8});
        if (l0 < width) tiles.push_back({std::uint32_t(j0), std::uint32_t(l0), std::uint32_t(width - l0)});
    }
    return tiles;
}

std::vector<std::size_t> split_tiles(std::span<const Tile> tiles, std::size_t parts) {
    std::size_t total = 0;
    for (const Tile& t : tiles) total += tile_cost(t);
    parts = std::max<std::size_t>(1, std::min(parts, tiles.size()));
    std::vector<std::size_t> ends;
    std::size_t done = 0;
    for (std::size_t t = 0; t < tiles.size(); ++t) {
        done += tile_cost(tiles[t]);
        // A run ends once it holds its share of the cost.
        if (done * parts >= total * (ends.size() + 1) && ends.size() + 1 < parts) ends.push_back(t + 1);
    }
    ends.push_back(tiles.size());
    return ends;
}

std::size_t padded_width(std::size_t k) {
    return std::max<std::size_t>(kTileRows, (k + kTileRows - 1) / kTileRows * kTileRows);
}

std::size_t chunk_rows_for(std::size_t k) {
    return std::max<std::size_t>(16, kChunkBytes / sizeof(double) / padded_width(k));
}

Accumulator::Accumulator(std::size_t k)
    : k_(k),
      width_(padded_width(k)),
      chunk_rows_(chunk_rows_for(k)),
      chunk_(chunk_rows_ * width_),
      sums_(width_ * width_) {}

void Accumulator::flush(std::size_t rows, std::span<const Tile> tiles) {
    if (rows == 0 || tiles.empty()) return;
    simd::run<AccumulateTilesOf<false>>(chunk_.data(), rows, width_, width_, sums_.data(), tiles.data(),
                                        tiles.size(), nullptr);
}

void Accumulator::add_in_place(MatView x, std::size_t i0, std::size_t rows, const double* mean,
                               std::span<const Tile> tiles) {
    if (rows == 0 || tiles.empty()) return;
    require(x.cols() == k_ && i0 + rows + in_place_tail(x) <= x.rows(), "rows read in place run past x");
    simd::run<AccumulateTilesOf<true>>(x.row(i0).data(), rows, x.row_stride, width_, sums_.data(), tiles.data(),
                                       tiles.size(), mean);
}

std::size_t in_place_tail(MatView x) {
    const std::size_t past = padded_width(x.cols()) - x.cols();
    return std::min(x.rows(), (past + x.row_stride - 1) / std::max<std::size_t>(1, x.row_stride));
}

void Accumulator::flush(std::size_t rows) {
    if (rows == 0) return;
    simd::run<AccumulateUpper>(chunk_.data(), rows, width_, sums_.data());
}

}  // namespace toolbox::matrix::gram

#include "toolbox/matrix/gram.hpp"

#include <algorithm>
#include <cstring>

#include "toolbox/target_clones.hpp"

namespace toolbox::matrix::gram {

namespace {

constexpr std::size_t kTileRows = 4;  // entries j of a tile; the chunk width is a multiple
constexpr std::size_t kChunkBytes = 24 * 1024;  // a chunk stays in the first-level cache

typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));

// One tile: entries j0 .. j0+4 by l0 .. l0+L*NV (L lanes per vector), held in
// registers while the chunk rows stream past. Each entry is one running sum
// that takes the rows in order; the vector lanes are distinct entries.
template <class Vec, std::size_t NV>
[[gnu::always_inline]] inline void tile(const double* chunk, std::size_t rows, std::size_t width, double* sums,
                                        std::size_t j0, std::size_t l0) {
    constexpr std::size_t L = sizeof(Vec) / sizeof(double);
    Vec acc[kTileRows][NV];
    for (std::size_t jj = 0; jj < kTileRows; ++jj)
        for (std::size_t v = 0; v < NV; ++v)
            std::memcpy(&acc[jj][v], sums + (j0 + jj) * width + l0 + L * v, sizeof(Vec));
    const double* row = chunk;
    for (std::size_t r = 0; r < rows; ++r, row += width) {
        Vec c[NV];
        for (std::size_t v = 0; v < NV; ++v) std::memcpy(&c[v], row + l0 + L * v, sizeof(Vec));
        for (std::size_t jj = 0; jj < kTileRows; ++jj) {
            const double b = row[j0 + jj];
            for (std::size_t v = 0; v < NV; ++v) acc[jj][v] += b * c[v];
        }
    }
    for (std::size_t jj = 0; jj < kTileRows; ++jj)
        for (std::size_t v = 0; v < NV; ++v)
            std::memcpy(sums + (j0 + jj) * width + l0 + L * v, &acc[jj][v], sizeof(Vec));
}

// sums[j][l] += sum over the chunk rows of c_rj * c_rl for l >= j, by tiles
// of 4 x 8 entries that start on the diagonal blocks (and a 4 x 4 tile where
// fewer than eight columns remain). Compiled for several instruction sets:
// the elementwise IEEE operations give the same bits in each.
QEL_TARGET_CLONES("avx2", "default") void accumulate_upper(const double* chunk, std::size_t rows, std::size_t width,
                                                           double* sums) {
    for (std::size_t j0 = 0; j0 < width; j0 += kTileRows) {
        std::size_t l0 = j0;
        for (; l0 + 8 <= width; l0 += 8) tile<v4d, 2>(chunk, rows, width, sums, j0, l0);
        if (l0 < width) tile<v4d, 1>(chunk, rows, width, sums, j0, l0);
    }
}

// The same sums with vectors of eight: tiles of 4 x 16 entries, then 4 x 8
// and 4 x 4 where fewer columns remain.
[[gnu::target("avx512f")]] void accumulate_upper_avx512(const double* chunk, std::size_t rows, std::size_t width,
                                                        double* sums) {
    for (std::size_t j0 = 0; j0 < width; j0 += kTileRows) {
        std::size_t l0 = j0;
        for (; l0 + 16 <= width; l0 += 16) tile<v8d, 2>(chunk, rows, width, sums, j0, l0);
        if (l0 + 8 <= width) {
            tile<v8d, 1>(chunk, rows, width, sums, j0, l0);
            l0 += 8;
        }
        if (l0 < width) tile<v4d, 1>(chunk, rows, width, sums, j0, l0);
    }
}

// The sums of the given tiles only, four or eight columns each: eight as one
// vector `Eight` or as two of four.
template <class Eight, std::size_t NV>
[[gnu::always_inline]] inline void tiles_by(const double* chunk, std::size_t rows, std::size_t width, double* sums,
                                            const Tile* tiles, std::size_t n_tiles) {
    for (std::size_t t = 0; t < n_tiles; ++t) {
        const Tile& u = tiles[t];
        if (u.cols == 8) {
            tile<Eight, NV>(chunk, rows, width, sums, u.j0, u.l0);
        } else {
            tile<v4d, 1>(chunk, rows, width, sums, u.j0, u.l0);
        }
    }
}

QEL_TARGET_CLONES("avx2", "default") void accumulate_tiles(const double* chunk, std::size_t rows, std::size_t width,
                                                           double* sums, const Tile* tiles, std::size_t n_tiles) {
    tiles_by<v4d, 2>(chunk, rows, width, sums, tiles, n_tiles);
}

[[gnu::target("avx512f")]] void accumulate_tiles_avx512(const double* chunk, std::size_t rows, std::size_t width,
                                                        double* sums, const Tile* tiles, std::size_t n_tiles) {
    tiles_by<v8d, 1>(chunk, rows, width, sums, tiles, n_tiles);
}

bool has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}

bool wide_vectors() {
    static const bool wide = has_avx512();
    return wide;
}

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
    if (wide_vectors()) {
        accumulate_tiles_avx512(chunk_.data(), rows, width_, sums_.data(), tiles.data(), tiles.size());
    } else {
        accumulate_tiles(chunk_.data(), rows, width_, sums_.data(), tiles.data(), tiles.size());
    }
}

void Accumulator::flush(std::size_t rows) {
    if (rows == 0) return;
    if (wide_vectors()) {
        accumulate_upper_avx512(chunk_.data(), rows, width_, sums_.data());
    } else {
        accumulate_upper(chunk_.data(), rows, width_, sums_.data());
    }
}

}  // namespace toolbox::matrix::gram

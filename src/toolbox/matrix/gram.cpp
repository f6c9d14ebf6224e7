#include "toolbox/matrix/gram.hpp"

#include <algorithm>
#include <cstring>

#include "toolbox/target_clones.hpp"

namespace toolbox::matrix::gram {

namespace {

constexpr std::size_t kTileRows = 4;  // entries j of a tile; the chunk width is a multiple
constexpr std::size_t kChunkBytes = 24 * 1024;  // a chunk stays in the first-level cache

typedef double v4d __attribute__((vector_size(32)));

// Unaligned vector access (macros rather than functions: a vector passed by
// value would cross a function boundary compiled for the baseline ABI).
#define QEL_LOAD(dst, p) std::memcpy(&(dst), (p), sizeof(v4d))
#define QEL_STORE(p, src) std::memcpy((p), &(src), sizeof(v4d))

// One tile: entries j0 .. j0+4 by l0 .. l0+4*NV, held in registers while the
// chunk rows stream past. Each entry is one running sum that takes the rows
// in order; the vector lanes are distinct entries.
template <std::size_t NV>
[[gnu::always_inline]] inline void tile(const double* chunk, std::size_t rows, std::size_t width, double* sums,
                                        std::size_t j0, std::size_t l0) {
    v4d acc[kTileRows][NV];
    for (std::size_t jj = 0; jj < kTileRows; ++jj)
        for (std::size_t v = 0; v < NV; ++v) QEL_LOAD(acc[jj][v], sums + (j0 + jj) * width + l0 + 4 * v);
    const double* row = chunk;
    for (std::size_t r = 0; r < rows; ++r, row += width) {
        v4d c[NV];
        for (std::size_t v = 0; v < NV; ++v) QEL_LOAD(c[v], row + l0 + 4 * v);
        for (std::size_t jj = 0; jj < kTileRows; ++jj) {
            const double b = row[j0 + jj];
            const v4d bv = {b, b, b, b};
            for (std::size_t v = 0; v < NV; ++v) acc[jj][v] += bv * c[v];
        }
    }
    for (std::size_t jj = 0; jj < kTileRows; ++jj)
        for (std::size_t v = 0; v < NV; ++v) QEL_STORE(sums + (j0 + jj) * width + l0 + 4 * v, acc[jj][v]);
}

// sums[j][l] += sum over the chunk rows of c_rj * c_rl for l >= j, by tiles
// of 4 x 8 entries that start on the diagonal blocks (and a 4 x 4 tile where
// fewer than eight columns remain). Compiled for several instruction sets:
// the elementwise IEEE operations give the same bits in each.
QEL_TARGET_CLONES("avx2", "default") void accumulate_upper(const double* chunk, std::size_t rows, std::size_t width,
                                                           double* sums) {
    for (std::size_t j0 = 0; j0 < width; j0 += kTileRows) {
        std::size_t l0 = j0;
        for (; l0 + 8 <= width; l0 += 8) tile<2>(chunk, rows, width, sums, j0, l0);
        if (l0 < width) tile<1>(chunk, rows, width, sums, j0, l0);
    }
}

#undef QEL_LOAD
#undef QEL_STORE

}  // namespace

Accumulator::Accumulator(std::size_t k)
    : k_(k),
      width_(std::max<std::size_t>(kTileRows, (k + kTileRows - 1) / kTileRows * kTileRows)),
      chunk_rows_(std::max<std::size_t>(16, kChunkBytes / sizeof(double) / width_)),
      chunk_(chunk_rows_ * width_),
      sums_(width_ * width_) {}

void Accumulator::flush(std::size_t rows) {
    if (rows > 0) accumulate_upper(chunk_.data(), rows, width_, sums_.data());
}

}  // namespace toolbox::matrix::gram

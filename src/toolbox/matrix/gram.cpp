#include "toolbox/matrix/gram.hpp"

#include <algorithm>
#include <cstring>

namespace toolbox::matrix::gram {

namespace {

constexpr std::size_t kTileRows = 4;   // entries j of a tile
constexpr std::size_t kTileCols = 8;   // entries l of a tile (two vectors of four)
constexpr std::size_t kChunkBytes = 24 * 1024;  // a chunk stays in the first-level cache

typedef double v4d __attribute__((vector_size(32)));

// Unaligned vector access (macros rather than functions: a vector passed by
// value would cross a function boundary compiled for the baseline ABI).
#define QEL_LOAD(dst, p) std::memcpy(&(dst), (p), sizeof(v4d))
#define QEL_STORE(p, src) std::memcpy((p), &(src), sizeof(v4d))

// sums[j][l] += sum over the chunk rows of c_rj * c_rl, for every tile that
// reaches the diagonal or lies above it. Each entry is one running sum that
// takes the rows in order; the vector lanes are distinct entries. Compiled
// for several instruction sets: the elementwise IEEE operations give the same
// bits in each.
__attribute__((target_clones("avx2", "default"))) void accumulate_upper(const double* chunk, std::size_t rows,
                                                                        std::size_t width, double* sums) {
    for (std::size_t j0 = 0; j0 < width; j0 += kTileRows) {
        for (std::size_t l0 = j0 / kTileCols * kTileCols; l0 < width; l0 += kTileCols) {
            v4d acc[kTileRows][2];
            for (std::size_t jj = 0; jj < kTileRows; ++jj) {
                QEL_LOAD(acc[jj][0], sums + (j0 + jj) * width + l0);
                QEL_LOAD(acc[jj][1], sums + (j0 + jj) * width + l0 + 4);
            }
            const double* row = chunk;
            for (std::size_t r = 0; r < rows; ++r, row += width) {
                v4d c0, c1;
                QEL_LOAD(c0, row + l0);
                QEL_LOAD(c1, row + l0 + 4);
                for (std::size_t jj = 0; jj < kTileRows; ++jj) {
                    const double b = row[j0 + jj];
                    const v4d bv = {b, b, b, b};
                    acc[jj][0] += bv * c0;
                    acc[jj][1] += bv * c1;
                }
            }
            for (std::size_t jj = 0; jj < kTileRows; ++jj) {
                QEL_STORE(sums + (j0 + jj) * width + l0, acc[jj][0]);
                QEL_STORE(sums + (j0 + jj) * width + l0 + 4, acc[jj][1]);
            }
        }
    }
}

#undef QEL_LOAD
#undef QEL_STORE

}  // namespace

Accumulator::Accumulator(std::size_t k)
    : k_(k),
      width_(std::max<std::size_t>(kTileCols, (k + kTileCols - 1) / kTileCols * kTileCols)),
      chunk_rows_(std::max<std::size_t>(16, kChunkBytes / sizeof(double) / width_)),
      chunk_(chunk_rows_ * width_),
      sums_(width_ * width_) {}

void Accumulator::flush(std::size_t rows) {
    if (rows > 0) accumulate_upper(chunk_.data(), rows, width_, sums_.data());
}

}  // namespace toolbox::matrix::gram

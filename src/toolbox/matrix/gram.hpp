// Accumulation of the symmetric product C^T C of a tall matrix C that is fed
// in chunks of rows, the inner step of every covariance.
//
// Each entry (j, l) is the plain sum over the rows, in row order, of
// c_rj * c_rl: one rounding per product and per addition, the same bits as a
// naive triple loop. Speed comes from working on many entries at once (a tile
// of 4 x 8 entries is held in registers while the rows of a chunk stream
// past), never from reordering a sum. Entries below the diagonal are taken
// from above it: c_rj * c_rl and c_rl * c_rj are the same double.
#pragma once

#include <cstddef>

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::gram {

class Accumulator {
public:
    // For k columns. The chunk rows are `width()` doubles apart (k rounded up
    // to a multiple of four); the padding columns only feed sums that are
    // never read, so whoever fills a row may write anything there.
    explicit Accumulator(std::size_t k);

    std::size_t k() const noexcept { return k_; }
    std::size_t width() const noexcept { return width_; }
    std::size_t chunk_rows() const noexcept { return chunk_rows_; }

    // Row `r` (< chunk_rows()) of the chunk being filled; write its first k values.
    double* chunk_row(std::size_t r) noexcept { return chunk_.data() + r * width_; }

    // Adds the first `rows` rows of the chunk to the sums.
    void flush(std::size_t rows);

    // Sum (j, l) for j <= l (the upper triangle).
    double sum(std::size_t j, std::size_t l) const noexcept { return sums_[j * width_ + l]; }

private:
    std::size_t k_, width_, chunk_rows_;
    Vector chunk_;
    Vector sums_;
};

}  // namespace toolbox::matrix::gram

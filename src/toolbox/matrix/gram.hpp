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
#include <cstdint>
#include <span>
#include <vector>

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::gram {

// A block of the upper triangle's entries: rows j0 .. j0+4 by columns
// l0 .. l0+cols (cols 4 or 8), l0 >= j0. Separate blocks are separate sums,
// so any set of them can be accumulated on its own, by another thread.
struct Tile {
    std::uint32_t j0;
    std::uint32_t l0;
    std::uint32_t cols;
};

// The blocks that cover the upper triangle of a product `width` columns wide
// (a multiple of four): along each band of four rows from the diagonal, eight
// columns at a time and four where four remain.
std::vector<Tile> upper_tiles(std::size_t width);

// What a block costs per row, in the time of one 512-bit addition: its four
// running sums each take one addition per row and wait for the one before; a
// block of eight columns is bound by the additions, one of four by their
// latency.
inline std::size_t tile_cost(const Tile& t) { return t.cols == 8 ? 4 : 3; }

// `tiles` cut into at most `parts` consecutive runs of about the same cost
// per row each; returns where each run ends.
std::vector<std::size_t> split_tiles(std::span<const Tile> tiles, std::size_t parts);

// The chunk rows' width for k columns (k rounded up to a multiple of four)
// and the number of rows a chunk holds.
std::size_t padded_width(std::size_t k);
std::size_t chunk_rows_for(std::size_t k);

// How many of x's last rows Accumulator::add_in_place cannot read: those
// whose padded width would run past x's storage.
std::size_t in_place_tail(MatView x);

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

    // The same for the entries of `tiles` only; the chunk rows need hold only
    // the columns those tiles read (from the smallest j0 on).
    void flush(std::size_t rows, std::span<const Tile> tiles);
    // Adds rows [i0, i0 + rows) of x (k columns), each centred on `mean`
    // (width() values, zero past k) as it is read, to the sums of `tiles`:
    // the sums of the same rows centred into the chunk and flushed, without
    // the chunk. Each row is read width() values from its start, past its own
    // k where k is no multiple of four (those values feed only padding sums,
    // never read), so the last in_place_tail(x) rows of x must go through
    // the chunk instead.
    void add_in_place(MatView x, std::size_t i0, std::size_t rows, const double* mean, std::span<const Tile> tiles);

    // Sum (j, l) for j <= l (the upper triangle).
    double sum(std::size_t j, std::size_t l) const noexcept { return sums_[j * width_ + l]; }

private:
    std::size_t k_, width_, chunk_rows_;
    Vector chunk_;
    Vector sums_;
};

}  // namespace toolbox::matrix::gram

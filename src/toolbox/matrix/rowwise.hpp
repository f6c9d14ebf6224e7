// Scans of a data matrix that read it row by row (its memory order) and work
// on all columns of a row at once. Each column keeps its own running value,
// updated in row order, so the results are those of a column-by-column loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::rowwise {

// Per column: the sum of its values in row order, written to sum[0..K).
void column_sums(MatView x, double* sum);

// Per column: the sum of its non-NaN values in row order (each added only
// when it is not NaN), written to sum[0..K), and their number, to count[0..K).
void present_sums(MatView x, double* sum, std::int64_t* count);

// Per column: the sum, in row order, of its values in the rows without any
// NaN, written to sum[0..K). Returns the number of such rows.
std::size_t complete_row_sums(MatView x, double* sum);

// From row `i` on, the rows without any NaN minus `mean`, written to `chunk`
// (rows `width` apart; `mean` holds `width` values, zero past K) until
// `max_rows` are written or the matrix ends. Returns the number written and
// leaves `i` at the first row not yet looked at.
std::size_t centre_complete_rows(MatView x, std::size_t& i, const double* mean, double* chunk, std::size_t width,
                                 std::size_t max_rows);

// Rows i0 .. i0+rows of `x` minus `mean`, written to `chunk` (rows `width`
// apart, width >= K). The chunk's columns K .. width stay zero when
// mean[K .. width) is zero (and mean holds `width` values).
void centre(MatView x, std::size_t i0, std::size_t rows, const double* mean, double* chunk, std::size_t width);

// Rows i0 .. i0+rows of `x`, centred on `mean` with every NaN of the result
// replaced by 0.0, written to `chunk` (rows `width` apart, width >= K). The
// chunk's columns K .. width stay zero when mean[K .. width) is zero. Returns
// the number of rows that hold a NaN in `x`; their positions within the chunk
// go to `rows_with_nan` and, for the columns below 64, which of them are NaN
// (bit j for column j) to `nan_bits`.
std::size_t centre_zero_filled(MatView x, std::size_t i0, std::size_t rows, const double* mean, double* chunk,
                               std::size_t width, std::uint32_t* rows_with_nan, std::uint64_t* nan_bits);

}  // namespace toolbox::matrix::rowwise

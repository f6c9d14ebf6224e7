// Scans of a data matrix that read it row by row (its memory order) and work
// on all columns of a row at once. Each column keeps its own running value,
// updated in row order, so the results are those of a column-by-column loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::rowwise {

// Per column: the sum of its non-NaN values in row order (each added only
// when it is not NaN), written to sum[0..K), and their number, to count[0..K).
void present_sums(MatView x, double* sum, std::int64_t* count);

// Rows i0 .. i0+rows of `x`, centred on `mean` with every NaN of the result
// replaced by 0.0, written to `chunk` (rows `width` apart, width >= K). The
// chunk's columns K .. width stay zero when mean[K .. width) is zero. Returns
// the number of rows that hold a NaN in `x`; their positions within the chunk
// go to `rows_with_nan`.
std::size_t centre_zero_filled(MatView x, std::size_t i0, std::size_t rows, const double* mean, double* chunk,
                               std::size_t width, std::uint32_t* rows_with_nan);

}  // namespace toolbox::matrix::rowwise

// The vectorised row kernels behind the distances for K >= 2, one per
// instruction set level. The distance routines run the widest one the
// processor runs; the tests run each of them against the per-row arithmetic.
#pragma once

#include "toolbox/matrix/array.hpp"
#include "toolbox/simd.hpp"

namespace toolbox::stats::distances::detail {

// Distances of the rows of `x` (K >= 2 columns) to `a`, and to `b`
// unless it is null, under `c` (K x K), by the kernel for `level`.
void row_distances(simd::Level level, matrix::MatView x, const double* a, const double* b, matrix::MatView c,
                   double* out_a, double* out_b);

}  // namespace toolbox::stats::distances::detail

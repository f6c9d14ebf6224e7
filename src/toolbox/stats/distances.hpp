// Squared Mahalanobis distances d = (x - c)^T · C · (x - c) under a given
// inverse covariance C, without the square root.
//
// Every distance is computed in one fixed order of operations per row, so the
// results are the same bit for bit on every machine path (the vectorised
// kernels do each row's arithmetic in its own SIMD lane, in that order).
// NaN in the data, the centres or C propagates into the distances.
#pragma once

#include <utility>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::stats::distances {

// One distance per row of `x` (N x K) to `mean` (K), under `cov_inv` (K x K).
//   K = 0: zeros.  K = 1: ((x - m) * (x - m)) * C00.
//   K >= 2: t_j = sum_k d_k * C_kj (k ascending, from 0.0), then
//           distance = sum_j t_j * d_j (j ascending, from 0.0): the product
//           T = D · C of a block of rows, row by row in that order. Blocks
//           of rows run side by side in vector lanes and, for many rows, on
//           the worker pool; neither changes a bit.
Result<matrix::Vector> mahalanobis(matrix::MatView x, matrix::VecView mean, matrix::MatView cov_inv);

// The distance of one vector, as a one-element array: t_i = sum_j d_j * C_ji,
// distance = sum_i t_i * d_i (no K = 1 shortcut; K = 0 gives [0.0]).
Result<matrix::Vector> mahalanobis_row(matrix::VecView v, matrix::VecView mean, matrix::MatView cov_inv);

// The distances of every row to two centres at once: (to a, to b), both from
// one pass over C, equal to `mahalanobis` to each centre bit for bit.
Result<std::pair<matrix::Vector, matrix::Vector>> mahalanobis_pair(matrix::MatView x, matrix::VecView a,
                                                                   matrix::VecView b, matrix::MatView cov_inv);

// mahalanobis_pair that hands each block of rows [first, last), as soon as
// its two distances are in place, to `done(context, first, last, to_a, to_b)`
// (the whole arrays, of which the block's entries are ready): a caller
// that goes on to work on every row reads them while they are still in cache
// (and, for many rows, on the same worker of the pool).
using BlockDone = void (*)(void* context, std::size_t first, std::size_t last, double* to_a, double* to_b);
Result<std::pair<matrix::Vector, matrix::Vector>> mahalanobis_pair(matrix::MatView x, matrix::VecView a,
                                                                   matrix::VecView b, matrix::MatView cov_inv,
                                                                   BlockDone done, void* context);

}  // namespace toolbox::stats::distances

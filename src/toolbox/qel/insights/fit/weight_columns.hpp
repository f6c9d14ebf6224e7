// The passes of the fit statistics over a matrix of weights, one row at a
// time with every column's running values in registers: the spread of each
// column's weights (Welford's running mean and sum of squared deviations,
// with the fused multiply-add of its update), and each column's plain sum and
// sum of products with the outcomes.
#pragma once

#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::insights::fit {

// Per column of the N x T weights, the population standard deviation of the
// weights with NaN taken as 0.0 (T zeros when N = 0).
matrix::Vector weights_concentration_from_matrix(matrix::MatView weights);

// weights_concentration_from_matrix with, from the same pass over the
// weights, each column's plain sum and its sum of products with y, both over
// the rows in order: what the fit statistics and the predictions of
// materialised weights read first.
struct WeightColumnPasses {
    matrix::Vector concentration;
    matrix::Vector column_sums;
    matrix::Vector weighted_outcomes;
};
WeightColumnPasses weight_column_passes(matrix::MatView weights, matrix::VecView y);

// The same without the spread (`concentration` left empty): the two sums
// alone, for a caller that works the spread out in a pass of its own.
WeightColumnPasses weight_column_sums(matrix::MatView weights, matrix::VecView y);

}  // namespace toolbox::qel::insights::fit

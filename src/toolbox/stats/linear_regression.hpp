// The linear-regression value at a target row: an ordinary least-squares
// prediction with intercept, from the means and covariance of the joint data
// [X | y] (y as the last column).
#pragma once

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::stats::linear_regression {

// The predicted y at `theta` (K values) from y (N) and X (N x K). With NaN
// anywhere, only the rows whose y and attributes are all present count; no
// such row (or N = 0) gives NaN, not an error.
Result<double> direct_linear_regression(matrix::VecView y, matrix::MatView x, matrix::VecView theta);

// mean_y + (theta - mean_X) · S_XX^-1 · S_Xy from the joint means (K + 1) and
// joint covariance ((K + 1) x (K + 1)); S_XX is always inverted by LU.
Result<double> ols_yhat_from_joint(matrix::VecView joint_mean, matrix::MatView joint_cov, matrix::VecView theta);

}  // namespace toolbox::stats::linear_regression

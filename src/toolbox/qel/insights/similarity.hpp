// Similarity of every observation to the target row.
#pragma once

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::insights {

// -0.5 * d(x_i, theta) for every row of x, d the squared Mahalanobis distance
// under cov_inv.
Result<matrix::Vector> similarity(matrix::MatView x, matrix::VecView theta, matrix::MatView cov_inv);

}  // namespace toolbox::qel::insights

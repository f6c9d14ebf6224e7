// How unusual the observations and the target are, relative to the sample
// mean: the raw squared distances from which informativeness is formed.
#pragma once

#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::insights::informativeness {

// d(x_i, mean) for every row, not halved. Callers check the dimensions first:
// a mismatch here is a bug and stops the computation.
matrix::Vector info_x(matrix::MatView x, matrix::VecView mean, matrix::MatView cov_inv);

// [d(theta, mean)], one value, not halved. A mismatch stops the computation.
matrix::Vector info_theta(matrix::VecView theta, matrix::VecView mean, matrix::MatView cov_inv);

}  // namespace toolbox::qel::insights::informativeness

// How unusual the observations and the target are, relative to the sample
// mean: the raw squared distances from which informativeness is formed.
#pragma once

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::insights::informativeness {

// d(x_i, mean) for every row, not halved. Callers check the dimensions first:
// a mismatch here is an internal fault, with the distance routine's words.
Result<matrix::Vector> info_x(matrix::MatView x, matrix::VecView mean, matrix::MatView cov_inv);

// [d(theta, mean)], one value, not halved. A mismatch is an internal fault.
Result<matrix::Vector> info_theta(matrix::VecView theta, matrix::VecView mean, matrix::MatView cov_inv);

}  // namespace toolbox::qel::insights::informativeness

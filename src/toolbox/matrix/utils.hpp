// Small array helpers.
#pragma once

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::utils {

// The N x k matrix whose every column is a copy of `v` (k = 0 gives N x 0).
Matrix repeat_as_columns(VecView v, std::size_t k);

}  // namespace toolbox::matrix::utils

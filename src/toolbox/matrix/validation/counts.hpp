// Counts of usable observations.
#pragma once

#include <cstddef>

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::validation::counts {

// Number of rows of `x` without any NaN (every row when K = 0).
std::size_t complete_rows(MatView x);

}  // namespace toolbox::matrix::validation::counts

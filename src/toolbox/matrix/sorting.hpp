// Sorting of data that may hold missing values.
#pragma once

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::sorting {

// The non-NaN values of `data`, ascending. Equal values (-0.0 and +0.0 among
// them) keep their input order.
Vector sort_array(VecView data);

// Sorts values without NaN ascending, equal values (-0.0 and +0.0 among them)
// in their input order: the one sequence every stable sort by `<` gives.
void stable_sort_finite_order(std::span<double> values);

}  // namespace toolbox::matrix::sorting

// Sorting of data that may hold missing values.
#pragma once

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::sorting {

// The non-NaN values of `data`, ascending. Equal values (-0.0 and +0.0 among
// them) keep their input order.
Vector sort_array(VecView data);

}  // namespace toolbox::matrix::sorting

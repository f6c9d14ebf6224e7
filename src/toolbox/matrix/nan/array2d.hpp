// Sums that skip missing values (NaN).
#pragma once

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::nan::array2d {

// Sum of the non-NaN values of one lane (0.0 when there are none). Four
// running sums take the positions 4b + r of the complete blocks of four, are
// added in the order r = 0..3, and the remaining values follow in order. A
// lane that is not contiguous is first copied into `scratch` (grown when too
// small), so callers summing many lanes allocate it once.
double nansum_lane(VecView lane, Vector& scratch);

// nansum_lane of the squares v_i * v_i of a contiguous lane, without forming them.
double nansum_of_squares(VecView lane);

// For each column, nansum_lane of its N values top to bottom (K zeros when N = 0).
Vector nansum_axis(MatView x);

}  // namespace toolbox::matrix::nan::array2d

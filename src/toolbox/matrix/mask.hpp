// Boolean masks of observations: which values pass a censor threshold, which
// are far enough from zero, and how many entries of each lane are true.
#pragma once

#include <optional>
#include <utility>

#include "toolbox/enums/censor_operator.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/matrix/each.hpp"

namespace toolbox::matrix::mask {

namespace apply_mask {

// For each threshold t_j (column j) the include and exclude masks of the N
// values under the censor operator (absent: ">="): include v op t_j, exclude
// its opposite. Every comparison with NaN is false, so a NaN value is in
// neither mask and a NaN threshold leaves both of its columns false. The
// thresholds are read in place and must be contiguous. Returns (include,
// exclude), both N x T.
std::pair<BoolMatrix, BoolMatrix> generate_include_masks(VecView values, VecView thresholds,
                                                         std::optional<enums::CensorOperator> op);

// Entry i is true when tolerance <= |v_i| (false for NaN).
BoolVector get_array_mask_nonzero(VecView values, double tolerance);

}  // namespace apply_mask

namespace true_count {

// The number of true entries of each lane, as doubles: each column down the
// rows, or each row across the columns.
Vector true_count_axis(BoolMatView m, Each each);

}  // namespace true_count

}  // namespace toolbox::matrix::mask

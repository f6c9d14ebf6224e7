// Which rows or columns of a data matrix hold a missing value (NaN).
#pragma once

#include <cstddef>
#include <vector>

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::nan::detection {

// Lanes along which to look: axis 0 walks the rows, axis 1 the columns.
struct MissingIndices {
    std::vector<std::size_t> missing;   // lanes holding at least one NaN, ascending
    std::vector<std::size_t> complete;  // lanes holding none, ascending
};

// Whether `x` holds any NaN.
bool contains_nan(MatView x);

// For each lane along `axis` (0 rows, 1 columns), whether it holds a NaN.
// Any other axis stops the computation.
BoolVector identify_missing_data(MatView x, std::size_t axis);

// The lanes along `axis` that hold a NaN and those that hold none.
MissingIndices get_missing_indices(MatView x, std::size_t axis);

}  // namespace toolbox::matrix::nan::detection

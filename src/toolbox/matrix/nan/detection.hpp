// Which rows or columns of a data matrix hold a missing value (NaN).
#pragma once

#include <cstddef>
#include <vector>

#include "toolbox/matrix/array.hpp"
#include "toolbox/matrix/each.hpp"

namespace toolbox::matrix::nan::detection {

struct MissingIndices {
    std::vector<std::size_t> missing;   // lanes holding at least one NaN, ascending
    std::vector<std::size_t> complete;  // lanes holding none, ascending
};

// Whether `x` holds any NaN.
bool contains_nan(MatView x);

// For each row or each column, whether it holds a NaN.
BoolVector identify_missing_data(MatView x, Each each);

// The rows or columns that hold a NaN and those that hold none.
MissingIndices get_missing_indices(MatView x, Each each);

}  // namespace toolbox::matrix::nan::detection

// The inputs of a model call (prediction, max-fit, grid), checked and, where
// the engine cannot read them in place, copied.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ffi/layout.hpp"
#include "toolbox/matrix/array.hpp"

namespace ffi::inputs {

// Lives for one model call; the engine reads it through the views. A
// row-major X, and y and theta, are the caller's own arrays, borrowed for the
// call (the header tells hosts not to change them while it runs): copying a
// large X would cost a pass over it and as much memory again. A column-major
// X is transposed into `x_rows`, which the view then shows.
struct ModelInputs {
    toolbox::matrix::VecView y;      // N outcomes
    toolbox::matrix::MatView X;      // N x K attributes, row-major
    toolbox::matrix::VecView theta;  // K values of the target row
    toolbox::matrix::Matrix x_rows;  // owns X when the caller's is column-major
};

// Checks in a fixed order (layout code, y length, theta length, then y, X and
// theta themselves); the first failure's status comes back with its message
// stored and nothing kept.
layout::Loaded<ModelInputs> load_model_inputs(const double* y, std::size_t y_len, const double* X, std::size_t rows,
                                              std::size_t cols, std::int32_t layout, const double* theta,
                                              std::size_t theta_len);

}  // namespace ffi::inputs

// The inputs of a model call (prediction, max-fit, grid), copied and checked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ffi/layout.hpp"
#include "toolbox/matrix/array.hpp"

namespace ffi::inputs {

// Lives for one model call; the engine reads it through views.
struct ModelInputs {
    toolbox::matrix::Vector y;      // N outcomes
    toolbox::matrix::Matrix X;      // N x K attributes, row-major
    toolbox::matrix::Vector theta;  // K values of the target row
};

// Checks in a fixed order (layout code, y length, theta length, then the
// copies of y, X and theta); the first failure's status comes back with its
// message stored and no copy kept.
layout::Loaded<ModelInputs> load_model_inputs(const double* y, std::size_t y_len, const double* X, std::size_t rows,
                                              std::size_t cols, std::int32_t layout, const double* theta,
                                              std::size_t theta_len);

}  // namespace ffi::inputs

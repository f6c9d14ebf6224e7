// The inputs of the insight calls, copied and checked, and the copy of a
// result into a caller buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "ffi/layout.hpp"
#include "toolbox/matrix/array.hpp"

namespace ffi::insights {

// Lives for one insight call.
struct InsightInputs {
    toolbox::matrix::Matrix X;        // N x K, row-major
    toolbox::matrix::Vector theta;    // K
    toolbox::matrix::Vector mean;     // K column means of X
    toolbox::matrix::Matrix cov_inv;  // K x K: the caller's, or the inverse of the covariance of X
};

// Checks in a fixed order: theta length, layout code, the copies of X and
// theta, then the caller's inverse covariance (its layout, its copy) or, when
// cov_inv is NULL, the inversion of the sample covariance of X by LU. A
// covariance that cannot be inverted gives status 5 with "failed to invert
// covariance (singular / ill-conditioned X)".
layout::Loaded<InsightInputs> load_insight_inputs(const double* X, std::size_t rows, std::size_t cols,
                                                  std::int32_t layout, const double* theta, std::size_t theta_len,
                                                  const double* cov_inv, std::int32_t cov_inv_layout);

// The same without a target (for the distances of the rows from their mean):
// theta is cols zeros, made only once X has been copied.
layout::Loaded<InsightInputs> load_insight_inputs_without_target(const double* X, std::size_t rows, std::size_t cols,
                                                                 std::int32_t layout, const double* cov_inv,
                                                                 std::int32_t cov_inv_layout);

// Copies all of `values` to the front of `out`. Status 1 "<name> out buffer is
// null", 2 "<name>: out buffer too small: need <n>, got <out_len>"; nothing is
// written on failure, entries past the values are left alone.
std::int32_t copy_array1_to_out(std::span<const double> values, double* out, std::size_t out_len,
                                std::string_view name);

}  // namespace ffi::insights

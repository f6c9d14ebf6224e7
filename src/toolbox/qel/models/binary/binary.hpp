// The logistic probability scale for binary (0/1) outcomes: values on the
// outcome scale (predictions, solo predictions) become probabilities by a
// logistic transform centred on the base rate of y and corrected by how far
// the attributes of the observations with y = 1 lie from all of them.
#pragma once

#include <optional>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::models::binary {

// One probability per value (any number of values). An outcome vector that
// sums to exactly 0 gives NaN for every value.
Result<matrix::Vector> logistic_probability_from_yhat(matrix::VecView y, matrix::MatView x, matrix::VecView values,
                                                      std::optional<matrix::MatView> cov_inv);

// The squared Mahalanobis distance between the y-weighted column means of x
// (x^T y / sum_y) and the plain column means, under cov_inv (or the inverse
// sample covariance of x when none is given).
Result<double> informativeness_from_x(matrix::VecView y, matrix::MatView x, std::optional<matrix::MatView> cov_inv,
                                      double sum_y);

}  // namespace toolbox::qel::models::binary

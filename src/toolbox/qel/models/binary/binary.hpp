// The logistic probability scale for binary (0/1) outcomes: values on the
// outcome scale (predictions, solo predictions) become probabilities by a
// logistic transform centred on the base rate of y and corrected by how far
// the attributes of the observations with y = 1 lie from all of them.
#pragma once

#include <optional>
#include <utility>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::models::binary {

// The transform of a sample's outcomes and attributes, worked out once and
// applied to any number of value vectors (a prediction and the solo
// predictions share it).
struct LogisticScale {
    bool undefined = false;  // y sums to exactly 0: every probability is NaN
    double p = 0.0;          // the base rate of y
    double log_odds = 0.0;
    double scale = 0.0;
    double correction = 0.0;

    // One probability per value.
    matrix::Vector probabilities(matrix::VecView values) const;
};

// The scale of y and x: the base rate, and the informativeness of x with
// every missing attribute counted as 0, under cov_inv (or the inverse sample
// covariance of x when none is given). Fails as logistic_probability_from_yhat.
Result<LogisticScale> logistic_scale(matrix::VecView y, matrix::MatView x, std::optional<matrix::MatView> cov_inv);

// One probability per value (any number of values). An outcome vector that
// sums to exactly 0 gives NaN for every value.
Result<matrix::Vector> logistic_probability_from_yhat(matrix::VecView y, matrix::MatView x, matrix::VecView values,
                                                      std::optional<matrix::MatView> cov_inv);

// The squared Mahalanobis distance between the y-weighted column means of x
// (x^T y / sum_y) and the plain column means, under cov_inv (or the inverse
// sample covariance of x when none is given).
Result<double> informativeness_from_x(matrix::VecView y, matrix::MatView x, std::optional<matrix::MatView> cov_inv,
                                      double sum_y);

// logistic_probability_from_yhat of `values` and of `more_values` (which may
// be empty) by one scale: what a run needs for its predictions and its solo
// predictions, at the cost of one.
Result<std::pair<matrix::Vector, matrix::Vector>> logistic_probabilities(matrix::VecView y, matrix::MatView x,
                                                                         matrix::VecView values,
                                                                         matrix::VecView more_values,
                                                                         std::optional<matrix::MatView> cov_inv);

}  // namespace toolbox::qel::models::binary

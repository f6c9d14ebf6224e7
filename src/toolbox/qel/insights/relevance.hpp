// Relevance of every observation to the target: its similarity to the target
// plus its informativeness. Built from squared Mahalanobis distances under one
// inverse covariance given by the caller; nothing here estimates a mean or a
// covariance, and no square root is taken.
#pragma once

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/insights/informativeness.hpp"
#include "toolbox/qel/insights/similarity.hpp"

namespace toolbox::qel::insights {

struct RelevanceResult {
    matrix::Vector relevance;   // N: similarity_i + informativeness_i
    matrix::Vector similarity;  // N: -0.5 * d(x_i, theta)
    matrix::Vector info_x;      // N: d(x_i, mean), not halved
    matrix::Vector info_theta;  // 1: d(theta, mean), not halved
};

// Relevance with its parts, from one pass over cov_inv for both centres.
// Informativeness, 0.5 * (info_x_i + info_theta), is formed but not kept.
Result<RelevanceResult> relevance(matrix::MatView x, matrix::VecView theta, matrix::VecView mean,
                                  matrix::MatView cov_inv);

}  // namespace toolbox::qel::insights

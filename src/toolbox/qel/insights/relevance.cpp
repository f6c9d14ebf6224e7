#include "toolbox/qel/insights/relevance.hpp"

#include "toolbox/stats/distances.hpp"

namespace toolbox::qel::insights {

Result<RelevanceResult> relevance(matrix::MatView x, matrix::VecView theta, matrix::VecView mean,
                                  matrix::MatView cov_inv) {
    namespace distances = toolbox::stats::distances;
    auto pair = distances::mahalanobis_pair(x, theta, mean, cov_inv);
    if (!pair) return std::unexpected(std::move(pair.error()));
    auto& [dt, dm] = *pair;

    // dt becomes the similarity in place.
    for (double& v : dt) v = v * -0.5;

    auto d_theta = distances::mahalanobis_row(theta, mean, cov_inv);
    if (!d_theta) return std::unexpected(std::move(d_theta.error()));
    const double info_theta = (*d_theta)[0];

    matrix::Vector rel = matrix::Vector::uninit(dt.size());
    for (std::size_t i = 0; i < dt.size(); ++i) {
        // Sum the two distances first, then halve; similarity is the left operand.
        const double informativeness = (dm[i] + info_theta) * 0.5;
        rel[i] = dt[i] + informativeness;
    }
    return RelevanceResult{std::move(rel), std::move(dt), std::move(dm), std::move(*d_theta)};
}

}  // namespace toolbox::qel::insights

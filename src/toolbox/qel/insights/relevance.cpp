#include "toolbox/qel/insights/relevance.hpp"

#include "toolbox/stats/distances.hpp"

namespace toolbox::qel::insights {

Result<RelevanceResult> relevance(matrix::MatView x, matrix::VecView theta, matrix::VecView mean,
                                  matrix::MatView cov_inv) {
    namespace distances = toolbox::stats::distances;
    // The target's distance is needed for every row's informativeness, so it
    // comes first; its error, if any, still comes after the rows' own.
    auto d_theta = distances::mahalanobis_row(theta, mean, cov_inv);
    struct Rows {
        double info_theta;
        double* rel;
    } rows{d_theta ? (*d_theta)[0] : 0.0, nullptr};
    matrix::Vector rel = matrix::Vector::uninit(x.rows());
    rows.rel = rel.data();
    // Each block of rows, as its distances arrive: dt becomes the similarity
    // in place, and the relevance sums the two distances first, then halves,
    // similarity being the left operand.
    const distances::BlockDone finish = [](void* context, std::size_t first, std::size_t last, double* dt,
                                           double* dm) {
        const Rows& r = *static_cast<const Rows*>(context);
        for (std::size_t i = first; i < last; ++i) {
            dt[i] = dt[i] * -0.5;
            const double informativeness = (dm[i] + r.info_theta) * 0.5;
            r.rel[i] = dt[i] + informativeness;
        }
    };
    auto pair = distances::mahalanobis_pair(x, theta, mean, cov_inv, d_theta ? finish : nullptr, &rows);
    if (!pair) return std::unexpected(std::move(pair.error()));
    if (!d_theta) return std::unexpected(std::move(d_theta.error()));
    auto& [dt, dm] = *pair;
    return RelevanceResult{std::move(rel), std::move(dt), std::move(dm), std::move(*d_theta)};
}

}  // namespace toolbox::qel::insights

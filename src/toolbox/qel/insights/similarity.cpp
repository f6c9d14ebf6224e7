#include "toolbox/qel/insights/similarity.hpp"

#include "toolbox/stats/distances.hpp"

namespace toolbox::qel::insights {

Result<matrix::Vector> similarity(matrix::MatView x, matrix::VecView theta, matrix::MatView cov_inv) {
    if (x.cols() != theta.size()) {
        return compute_error("Inputs `a` and `b` must have the same number of attributes (columns)");
    }
    auto d = toolbox::stats::distances::mahalanobis(x, theta, cov_inv);
    if (!d) return std::unexpected(std::move(d.error()));
    for (double& v : *d) v = -0.5 * v;
    return std::move(*d);
}

}  // namespace toolbox::qel::insights

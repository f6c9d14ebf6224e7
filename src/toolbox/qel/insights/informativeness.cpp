#include "toolbox/qel/insights/informativeness.hpp"

#include <utility>

#include "toolbox/stats/distances.hpp"

namespace toolbox::qel::insights::informativeness {

Result<matrix::Vector> info_x(matrix::MatView x, matrix::VecView mean, matrix::MatView cov_inv) {
    auto d = toolbox::stats::distances::mahalanobis(x, mean, cov_inv);
    if (!d) return internal_fault(std::move(d.error()));
    return d;
}

Result<matrix::Vector> info_theta(matrix::VecView theta, matrix::VecView mean, matrix::MatView cov_inv) {
    auto d = toolbox::stats::distances::mahalanobis_row(theta, mean, cov_inv);
    if (!d) return internal_fault(std::move(d.error()));
    return d;
}

}  // namespace toolbox::qel::insights::informativeness

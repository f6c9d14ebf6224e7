#include "toolbox/qel/insights/informativeness.hpp"

#include "toolbox/error.hpp"
#include "toolbox/stats/distances.hpp"

namespace toolbox::qel::insights::informativeness {

matrix::Vector info_x(matrix::MatView x, matrix::VecView mean, matrix::MatView cov_inv) {
    auto d = toolbox::stats::distances::mahalanobis(x, mean, cov_inv);
    if (!d) fault(std::move(d.error().message));
    return std::move(*d);
}

matrix::Vector info_theta(matrix::VecView theta, matrix::VecView mean, matrix::MatView cov_inv) {
    auto d = toolbox::stats::distances::mahalanobis_row(theta, mean, cov_inv);
    if (!d) fault(std::move(d.error().message));
    return std::move(*d);
}

}  // namespace toolbox::qel::insights::informativeness

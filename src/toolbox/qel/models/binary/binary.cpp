#include "toolbox/qel/models/binary/binary.hpp"

#include <algorithm>
#include <cmath>

#include "toolbox/format.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/stats/distances.hpp"

namespace toolbox::qel::models::binary {

using matrix::MatView;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;

Result<double> informativeness_from_x(VecView y, MatView x, std::optional<MatView> cov_inv, double sum_y) {
    const std::size_t n = x.rows();
    const std::size_t k = x.cols();
    // Mean of x over the observations with y = 1, for a 0/1 outcome.
    Vector m1(k);
    for (std::size_t j = 0; j < k; ++j) {
        double acc = 0.0;
        for (std::size_t i = 0; i < n; ++i) acc += x(i, j) * y[i];
        m1[j] = acc / sum_y;
    }
    if (n == 0) return compute_error("failed to compute mean of x");
    Vector m0(k);
    for (std::size_t j = 0; j < k; ++j) {
        double acc = 0.0;
        for (std::size_t i = 0; i < n; ++i) acc += x(i, j);
        m0[j] = acc / static_cast<double>(n);
    }
    Matrix computed;
    MatView c;
    if (cov_inv) {
        c = *cov_inv;
    } else {
        computed = matrix::covariance::cov_inv_with_method(x, enums::InversionMethod::Gaussian);
        c = computed.view();
    }
    auto d = stats::distances::mahalanobis_row(m1.view(), m0.view(), c);
    if (!d) return std::unexpected(std::move(d.error()));
    return (*d)[0];
}

Result<Vector> logistic_probability_from_yhat(VecView y, MatView x, VecView values, std::optional<MatView> cov_inv) {
    if (y.empty()) return compute_error("y must not be empty");
    if (values.empty()) return compute_error("yhat must not be empty");

    double s = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) s += y[i];
    if (s == 0.0) return Vector(values.size(), std::nan(""));

    const double p = s / static_cast<double>(y.size());
    if (x.rows() != y.size()) return compute_error(format("{} must have the same number of rows as y", "x"));
    if (x.cols() == 0) return compute_error(format("{} must have at least one column", "x"));

    // Missing attributes count as 0 in the informativeness term only.
    Matrix filled;
    MatView xs = x;
    bool any_nan = false;
    for (std::size_t i = 0; i < x.rows() && !any_nan; ++i) {
        for (double v : x.row(i)) any_nan = any_nan || std::isnan(v);
    }
    if (any_nan) {
        filled = Matrix::from(x);
        for (double& v : filled.flat()) {
            if (std::isnan(v)) v = 0.0;
        }
        xs = filled.view();
    }

    auto info = informativeness_from_x(y, xs, cov_inv, s);
    if (!info) return std::unexpected(std::move(info.error()));

    const double odds = p / (1.0 - p);
    const double log_odds = std::log(odds);
    const double scale = 1.0 / ((1.0 - p) * p);
    const double correction = (odds * odds - 1.0) * *info;

    Vector out = Vector::uninit(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double d = values[i] - p;
        double z = ((d * scale) + log_odds) + correction;
        // std::clamp would keep NaN too, but say it: NaN stays NaN.
        if (!std::isnan(z)) z = std::clamp(z, -60.0, 60.0);
        out[i] = 1.0 / (std::exp(-z) + 1.0);
    }
    return out;
}

}  // namespace toolbox::qel::models::binary

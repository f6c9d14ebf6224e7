#include "toolbox/qel/models/binary/binary.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "toolbox/format.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/lanes.hpp"
#include "toolbox/matrix/nan/detection.hpp"
#include "toolbox/stats/distances.hpp"
#include "toolbox/simd.hpp"

namespace toolbox::qel::models::binary {

using matrix::MatView;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;
namespace lanes = matrix::lanes;

// The vector kernels, each with a copy per instruction set (toolbox/simd.hpp).
namespace kernels {

// Per column j, the sums over the rows in order of x_ij * y_i and of x_ij;
// with `missing_as_zero` a missing attribute counts as 0.
template <std::size_t NV>
struct OutcomeWeightedSums {
    [[gnu::always_inline]] static void run(const lanes::Block& b, MatView x, VecView y, bool missing_as_zero,
                                           double* with_y, double* plain) {
        using lanes::v4d;
        using lanes::v4l;
        const v4d zero = {0.0, 0.0, 0.0, 0.0};
        const std::int64_t keep = missing_as_zero ? 0 : -1;
        const v4l keep_nan = {keep, keep, keep, keep};
        v4d wy[NV] = {}, s[NV] = {};
        for (std::size_t i = 0; i < x.rows(); ++i) {
            const double* row = x.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) {
                v4d v = lanes::load(b, row, g);
                v = ((v == v) | keep_nan) ? v : zero;
                wy[g] += v * y[i];
                s[g] += v;
            }
        }
        for (std::size_t g = 0; g < NV; ++g) {
            lanes::store(b, g, wy[g], with_y);
            lanes::store(b, g, s[g], plain);
        }
    }
};

void outcome_weighted_sums(MatView x, VecView y, bool missing_as_zero, double* with_y, double* plain) {
    simd::run<lanes::OverColumns<OutcomeWeightedSums>>(x.cols(), x, y, missing_as_zero, with_y, plain);
}

}  // namespace kernels

namespace {

// informativeness_from_x, optionally of x with every missing attribute
// replaced by 0 (without making that copy unless the covariance needs it).
Result<double> informativeness(VecView y, MatView x, std::optional<MatView> cov_inv, double sum_y,
                               bool missing_as_zero) {
    const std::size_t n = x.rows();
    const std::size_t k = x.cols();
    // Mean of x over the observations with y = 1, for a 0/1 outcome, and the
    // plain column means; both sums read x a row at a time.
    Vector with_y(k), plain(k);
    kernels::outcome_weighted_sums(x, y, missing_as_zero, with_y.data(), plain.data());
    Vector m1 = Vector::uninit(k);
    for (std::size_t j = 0; j < k; ++j) m1[j] = with_y[j] / sum_y;
    if (n == 0) return compute_error("failed to compute mean of x");
    Vector m0 = Vector::uninit(k);
    for (std::size_t j = 0; j < k; ++j) m0[j] = plain[j] / static_cast<double>(n);
    Matrix computed;
    MatView c;
    if (cov_inv) {
        c = *cov_inv;
    } else {
        Matrix filled;
        MatView xs = x;
        if (missing_as_zero && matrix::nan::detection::contains_nan(x)) {
            filled = Matrix::from(x);
            for (double& v : filled.flat()) {
                if (std::isnan(v)) v = 0.0;
            }
            xs = filled.view();
        }
        auto inverse = matrix::covariance::cov_inv_with_method(xs, enums::InversionMethod::Gaussian);
        if (!inverse) return std::unexpected(std::move(inverse.error()));
        computed = std::move(*inverse);
        c = computed.view();
    }
    auto d = stats::distances::mahalanobis_row(m1.view(), m0.view(), c);
    if (!d) return std::unexpected(std::move(d.error()));
    return (*d)[0];
}

}  // namespace

Result<double> informativeness_from_x(VecView y, MatView x, std::optional<MatView> cov_inv, double sum_y) {
    return informativeness(y, x, cov_inv, sum_y, false);
}

Result<LogisticScale> logistic_scale(VecView y, MatView x, std::optional<MatView> cov_inv) {
    if (y.empty()) return compute_error("y must not be empty");
    LogisticScale scale;
    double s = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) s += y[i];
    if (s == 0.0) {
        scale.undefined = true;
        return scale;
    }
    scale.p = s / static_cast<double>(y.size());
    if (x.rows() != y.size()) return compute_error(format("{} must have the same number of rows as y", "x"));
    if (x.cols() == 0) return compute_error(format("{} must have at least one column", "x"));

    // Missing attributes count as 0 in the informativeness term only.
    auto info = informativeness(y, x, cov_inv, s, true);
    if (!info) return std::unexpected(std::move(info.error()));

    const double p = scale.p;
    const double odds = p / (1.0 - p);
    scale.log_odds = std::log(odds);
    scale.scale = 1.0 / ((1.0 - p) * p);
    scale.correction = (odds * odds - 1.0) * *info;
    return scale;
}

Vector LogisticScale::probabilities(VecView values) const {
    if (undefined) return Vector(values.size(), std::nan(""));
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

Result<Vector> logistic_probability_from_yhat(VecView y, MatView x, VecView values, std::optional<MatView> cov_inv) {
    auto both = logistic_probabilities(y, x, values, {}, cov_inv);
    if (!both) return std::unexpected(std::move(both.error()));
    return std::move(both->first);
}

Result<std::pair<Vector, Vector>> logistic_probabilities(VecView y, MatView x, VecView values, VecView more_values,
                                                         std::optional<MatView> cov_inv) {
    if (y.empty()) return compute_error("y must not be empty");
    if (values.empty()) return compute_error("yhat must not be empty");
    auto scale = logistic_scale(y, x, cov_inv);
    if (!scale) return std::unexpected(std::move(scale.error()));
    return std::pair{scale->probabilities(values), scale->probabilities(more_values)};
}

}  // namespace toolbox::qel::models::binary

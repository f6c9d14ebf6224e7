#include "toolbox/stats/linear_regression.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "toolbox/format.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/inversion.hpp"

namespace toolbox::stats::linear_regression {

using matrix::MatView;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct JointMoments {
    Vector mean;
    Matrix cov;
};

bool holds_nan(VecView y, MatView x) {
    for (std::size_t i = 0; i < y.size(); ++i)
        if (std::isnan(y[i])) return true;
    for (std::size_t i = 0; i < x.rows(); ++i)
        for (double v : x.row(i))
            if (std::isnan(v)) return true;
    return false;
}

// Means and covariance of [X | y] over the rows whose y and attributes are all
// present; none when no row is.
std::optional<JointMoments> listwise_joint_xy(VecView y, MatView x) {
    const std::size_t K = x.cols();
    const std::size_t J = K + 1;
    auto usable = [&](std::size_t i) {
        if (std::isnan(y[i])) return false;
        for (double v : x.row(i))
            if (std::isnan(v)) return false;
        return true;
    };
    Vector sum(J);
    std::size_t m = 0;
    for (std::size_t i = 0; i < x.rows(); ++i) {
        if (!usable(i)) continue;
        for (std::size_t j = 0; j < K; ++j) sum[j] += x(i, j);
        sum[K] += y[i];
        ++m;
    }
    if (m == 0) return std::nullopt;

    Vector mean = Vector::uninit(J);
    for (std::size_t j = 0; j < J; ++j) mean[j] = sum[j] / static_cast<double>(m);

    Matrix cov(J, J);
    Vector d = Vector::uninit(J);
    for (std::size_t i = 0; i < x.rows(); ++i) {
        if (!usable(i)) continue;
        for (std::size_t j = 0; j < K; ++j) d[j] = x(i, j) - mean[j];
        d[K] = y[i] - mean[K];
        for (std::size_t j = 0; j < J; ++j) {
            cov(j, j) += d[j] * d[j];
            for (std::size_t l = 0; l < j; ++l) {
                const double p = d[j] * d[l];
                cov(j, l) += p;
                cov(l, j) += p;
            }
        }
    }
    const double divisor = static_cast<double>(m) - 1.0;
    for (double& v : cov.flat()) v /= divisor;
    return JointMoments{std::move(mean), std::move(cov)};
}

}  // namespace

Result<double> ols_yhat_from_joint(VecView joint_mean, MatView joint_cov, VecView theta) {
    const std::size_t K = theta.size();
    require(joint_mean.size() == K + 1 && joint_cov.rows() == K + 1 && joint_cov.cols() == K + 1,
            "joint moments do not match the length of theta");
    Matrix sxx = Matrix::uninit(K, K);
    for (std::size_t i = 0; i < K; ++i)
        for (std::size_t j = 0; j < K; ++j) sxx(i, j) = joint_cov(i, j);
    auto inv = matrix::inversion::inv_lu(sxx);
    if (!inv) return compute_error(format("Failed to invert cov_X: {}", inv.error().message));

    double yhat_offset = 0.0;
    for (std::size_t i = 0; i < K; ++i) {
        double beta = 0.0;
        for (std::size_t j = 0; j < K; ++j) beta += (*inv)(i, j) * joint_cov(j, K);
        yhat_offset += (theta[i] - joint_mean[i]) * beta;
    }
    return joint_mean[K] + yhat_offset;
}

Result<double> direct_linear_regression(VecView y, MatView x, VecView theta) {
    if (y.size() != x.rows()) return compute_error("Number of observations in y and X must match");
    if (theta.size() != x.cols())
        return compute_error(
            format("Theta length ({}) must match number of X columns ({})", theta.size(), x.cols()));

    if (holds_nan(y, x)) {
        auto joint = listwise_joint_xy(y, x);
        if (!joint) return kNaN;
        return ols_yhat_from_joint(joint->mean, joint->cov, theta);
    }

    const std::size_t N = x.rows();
    const std::size_t K = x.cols();
    Matrix joint = Matrix::uninit(N, K + 1);
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < K; ++j) joint(i, j) = x(i, j);
        joint(i, K) = y[i];
    }
    const auto moments = matrix::covariance::average_with_n(joint, true);
    for (double m : moments.mean)
        if (std::isnan(m)) return kNaN;
    const Matrix cov = matrix::covariance::nancov(joint, true);
    return ols_yhat_from_joint(moments.mean, cov, theta);
}

}  // namespace toolbox::stats::linear_regression


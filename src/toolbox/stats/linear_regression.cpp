#include "toolbox/stats/linear_regression.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "toolbox/format.hpp"
#include "toolbox/matrix/gram.hpp"
#include "toolbox/matrix/rowwise.hpp"
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

// Means and covariance of [X | y] when no value is missing: the column sums
// in row order over N, and the centred products summed in row order over
// N - 1, the bits of the covariance of the joint matrix, without forming it.
JointMoments complete_joint_xy(VecView y, MatView x) {
    const std::size_t n = x.rows();
    const std::size_t K = x.cols();
    Vector mean = Vector::uninit(K + 1);
    matrix::rowwise::column_sums(x, mean.data());
    double y_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) y_sum += y[i];
    mean[K] = y_sum;
    const double dn = static_cast<double>(n);
    for (double& m : mean) m /= dn;

    matrix::gram::Accumulator acc(K + 1);
    Vector padded(acc.width());
    std::copy_n(mean.data(), K + 1, padded.data());
    for (std::size_t i0 = 0; i0 < n; i0 += acc.chunk_rows()) {
        const std::size_t rows = std::min(acc.chunk_rows(), n - i0);
        // The attributes first (their padding write may reach column K), then y.
        matrix::rowwise::centre(x, i0, rows, padded.data(), acc.chunk_row(0), acc.width());
        for (std::size_t r = 0; r < rows; ++r) acc.chunk_row(r)[K] = y[i0 + r] - mean[K];
        acc.flush(rows);
    }
    Matrix cov = Matrix::uninit(K + 1, K + 1);
    for (std::size_t j = 0; j <= K; ++j)
        for (std::size_t l = j; l <= K; ++l) cov(j, l) = cov(l, j) = acc.sum(j, l) / (dn - 1.0);
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

    const JointMoments moments = complete_joint_xy(y, x);
    for (double m : moments.mean)
        if (std::isnan(m)) return kNaN;
    return ols_yhat_from_joint(moments.mean, moments.cov, theta);
}

}  // namespace toolbox::stats::linear_regression


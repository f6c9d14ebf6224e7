#include "toolbox/qel/insights/fit/fit.hpp"

#include <cmath>

#include "toolbox/format.hpp"

namespace toolbox::qel::insights::fit {

using matrix::Matrix;
using matrix::MatView;
using matrix::Vector;
using matrix::VecView;

namespace {

FitResult empty_result(std::size_t t) {
    return FitResult{Vector::uninit(t), Vector::uninit(t), Vector::uninit(t), Vector::uninit(t)};
}

void fill_agreement(FitResult& r) {
    for (std::size_t k = 0; k < r.fit.size(); ++k) r.agreement[k] = r.fit[k] - r.outlier_influence[k];
}

double plain_sum(VecView v) {
    double s = 0.0;
    for (std::size_t i = 0; i < v.size(); ++i) s += v[i];
    return s;
}

}  // namespace

// Both forms read the weights a row at a time (their memory order) and keep
// one running value per column, updated in row order: each column's sums are
// exactly those of a loop down that column.

FitResult fit(MatView weights, VecView y) {
    const std::size_t n = weights.rows();
    const std::size_t t = weights.cols();
    const double n_d = static_cast<double>(n);
    FitResult r = empty_result(t);

    const double ybar = n == 0 ? 0.0 : plain_sum(y) / n_d;
    Vector dy = Vector::uninit(n);
    double vy_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        dy[i] = y[i] - ybar;
        vy_sum += dy[i] * dy[i];
    }
    const double g = 1.0 / ((n_d - 1.0) * (n_d - 1.0));
    const double sd_y = std::sqrt(vy_sum / n_d);

    // Column means: the plain sum of each column over the rows in order.
    Vector wbar(t);
    for (std::size_t i = 0; i < n; ++i) {
        const double* w = weights.row(i).data();
        for (std::size_t k = 0; k < t; ++k) wbar[k] += w[k];
    }
    for (std::size_t k = 0; k < t; ++k) wbar[k] = n == 0 ? 0.0 : wbar[k] / n_d;

    Vector c(t), vw_sum(t);
    for (std::size_t i = 0; i < n; ++i) {
        const double* w = weights.row(i).data();
        const double dyi = dy[i];
        for (std::size_t k = 0; k < t; ++k) {
            const double dw = w[k] - wbar[k];
            c[k] += dw * dyi;
            vw_sum[k] += dw * dw;
        }
    }
    Vector sd_w = Vector::uninit(t);
    for (std::size_t k = 0; k < t; ++k) {
        if (vw_sum[k] > 0.0 && vy_sum > 0.0) {
            r.rho[k] = c[k] / (std::sqrt(vy_sum) * std::sqrt(vw_sum[k]));
            r.fit[k] = r.rho[k] * r.rho[k];
        } else {
            r.rho[k] = 0.0;
            r.fit[k] = 0.0;
        }
        // Not guarded: a column without spread has 0/0 z-scores, and its
        // outlier influence is NaN in this form.
        sd_w[k] = std::sqrt(vw_sum[k] / n_d);
    }

    Vector q(t);
    for (std::size_t i = 0; i < n; ++i) {
        const double* w = weights.row(i).data();
        const double zy = dy[i] / sd_y;
        const double zy2 = zy * zy;
        for (std::size_t k = 0; k < t; ++k) {
            const double zw = (w[k] - wbar[k]) / sd_w[k];
            q[k] += (zw * zw) * zy2;
        }
    }
    for (std::size_t k = 0; k < t; ++k) r.outlier_influence[k] = q[k] * g;
    fill_agreement(r);
    return r;
}

FitResult fit_vectorized(MatView weights, VecView y) {
    const std::size_t n = weights.rows();
    const std::size_t t = weights.cols();
    const double n_d = static_cast<double>(n);
    FitResult r = empty_result(t);

    Vector means(t);
    for (std::size_t i = 0; i < n; ++i) {
        const auto row = weights.row(i);
        for (std::size_t k = 0; k < t; ++k) means[k] += row[k];
    }
    for (std::size_t k = 0; k < t; ++k) means[k] = means[k] / n_d;
    const double ybar = plain_sum(y) / n_d;

    // C = D^T dy is summed here in row order, vectorised across the columns,
    // not by the library's matrix-vector product: that one splits the sum
    // over rows by its thread count and its kernel, so the same inputs would
    // give other bits on another machine or with another thread setting. The
    // centred weights D are formed again where they are needed rather than
    // kept as a second N x T matrix.
    Vector dy = Vector::uninit(n);
    Vector vw(t);
    Vector c(t);
    double vy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double* src = weights.row(i).data();
        dy[i] = y[i] - ybar;
        const double dyi = dy[i];
        for (std::size_t k = 0; k < t; ++k) {
            const double d = src[k] - means[k];
            vw[k] += d * d;
            c[k] += d * dyi;
        }
        vy += dyi * dyi;
    }

    if (!(vy > 0.0)) {
        for (std::size_t k = 0; k < t; ++k) {
            r.rho[k] = 0.0;
            r.fit[k] = 0.0;
            r.outlier_influence[k] = 0.0;
        }
        fill_agreement(r);
        return r;
    }

    const double sy = std::sqrt(vy);
    const double var_y = sy * sy / n_d;
    const double g = 1.0 / ((n_d - 1.0) * (n_d - 1.0));
    const double sd_y = std::sqrt(var_y);
    Vector sd_w(t);
    for (std::size_t k = 0; k < t; ++k) {
        const double s = std::sqrt(vw[k]);
        if (s > 0.0) {
            r.rho[k] = c[k] / (s * sy);
            r.fit[k] = r.rho[k] * r.rho[k];
            sd_w[k] = std::sqrt(s * s / n_d);
        } else {
            r.rho[k] = 0.0;
            r.fit[k] = 0.0;
        }
    }
    // The sums of squared z-score products of every column, one row at a time.
    Vector q(t);
    for (std::size_t i = 0; i < n; ++i) {
        const double* src = weights.row(i).data();
        const double zy = dy[i] / sd_y;
        const double zy2 = zy * zy;
        for (std::size_t k = 0; k < t; ++k) {
            const double zw = (src[k] - means[k]) / sd_w[k];
            q[k] += (zw * zw) * zy2;
        }
    }
    for (std::size_t k = 0; k < t; ++k) {
        r.outlier_influence[k] = std::sqrt(vw[k]) > 0.0 ? q[k] * g : 0.0;
    }
    fill_agreement(r);
    return r;
}

Result<FitResult> fit_auto_vectorized(MatView weights, VecView y) {
    if (weights.rows() != y.size()) {
        return compute_error(format("Number of observations mismatch: weights has {} rows, y has {} elements",
                                    weights.rows(), y.size()));
    }
    if (weights.cols() <= kMaxPerColumnThresholds) return fit(weights, y);
    return fit_vectorized(weights, y);
}

}  // namespace toolbox::qel::insights::fit

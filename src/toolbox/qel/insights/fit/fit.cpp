#include "toolbox/qel/insights/fit/fit.hpp"

#include <algorithm>
#include <cmath>

#include "toolbox/format.hpp"
#include "toolbox/matrix/lanes.hpp"
#include "toolbox/matrix/rowwise.hpp"
#include "toolbox/simd.hpp"

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

// Both forms read the weights a row at a time (their memory order) with one
// running sum per column in a vector register (`lanes`); each column's sums
// take the rows in order, exactly as a loop down that column would.

namespace {

using matrix::lanes::Block;
using matrix::lanes::v4d;
namespace lanes = matrix::lanes;

// With d = w - centre and dy_i = y_i - ybar: cross[k] += d * dy_i,
// squares[k] += d * d.
template <std::size_t NV>
struct CentredSums {
    [[gnu::always_inline]] static void run(const Block& b, MatView w, const double* centre, VecView y, double ybar,
                                           double* cross, double* squares) {
        v4d m[NV], c[NV] = {}, v[NV] = {};
        for (std::size_t g = 0; g < NV; ++g) m[g] = lanes::gather(b, centre, g);
        for (std::size_t i = 0; i < w.rows(); ++i) {
            const double* row = w.row(i).data();
            const double dyi = y[i] - ybar;
            for (std::size_t g = 0; g < NV; ++g) {
                const v4d d = lanes::load(b, row, g) - m[g];
                c[g] += d * dyi;
                v[g] += d * d;
            }
        }
        for (std::size_t g = 0; g < NV; ++g) {
            lanes::store(b, g, c[g], cross);
            lanes::store(b, g, v[g], squares);
        }
    }
};

// q[k] += (zw * zw) * (zy * zy), zw = (w - centre) / scale, zy = dy_i / sd_y,
// dy_i = y_i - ybar.
template <std::size_t NV>
struct ZProducts {
    [[gnu::always_inline]] static void run(const Block& b, MatView w, const double* centre, const double* scale,
                                           VecView y, double ybar, double sd_y, double* q) {
        v4d m[NV], s[NV], acc[NV] = {};
        for (std::size_t g = 0; g < NV; ++g) {
            m[g] = lanes::gather(b, centre, g);
            s[g] = lanes::gather(b, scale, g);
        }
        for (std::size_t i = 0; i < w.rows(); ++i) {
            const double* row = w.row(i).data();
            const double zy = (y[i] - ybar) / sd_y;
            const double zy2 = zy * zy;
            for (std::size_t g = 0; g < NV; ++g) {
                const v4d zw = (lanes::load(b, row, g) - m[g]) / s[g];
                acc[g] += (zw * zw) * zy2;
            }
        }
        for (std::size_t g = 0; g < NV; ++g) lanes::store(b, g, acc[g], q);
    }
};

}  // namespace

OutcomeSpread outcome_spread(VecView y) {
    const std::size_t n = y.size();
    OutcomeSpread out;
    out.mean = n == 0 ? 0.0 : plain_sum(y) / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double dy = y[i] - out.mean;
        out.sum_sq += dy * dy;
    }
    return out;
}

FitResult fit(MatView weights, VecView y, const double* column_sums, const OutcomeSpread* spread) {
    const std::size_t n = weights.rows();
    const std::size_t t = weights.cols();
    const double n_d = static_cast<double>(n);
    FitResult r = empty_result(t);

    // The outcomes' deviations dy_i = y_i - ybar are formed again wherever
    // they are used rather than stored.
    const OutcomeSpread own = spread ? *spread : outcome_spread(y);
    const double ybar = own.mean;
    const double vy_sum = own.sum_sq;
    const double g = 1.0 / ((n_d - 1.0) * (n_d - 1.0));
    const double sd_y = std::sqrt(vy_sum / n_d);

    Vector wbar(t);
    if (column_sums) {
        std::copy_n(column_sums, t, wbar.data());
    } else {
        matrix::rowwise::column_sums(weights, wbar.data());
    }
    for (std::size_t k = 0; k < t; ++k) wbar[k] = n == 0 ? 0.0 : wbar[k] / n_d;

    Vector c(t), vw_sum(t);
    simd::run<lanes::OverColumns<CentredSums>>(t, weights, wbar.data(), y, ybar, c.data(), vw_sum.data());
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
    simd::run<lanes::OverColumns<ZProducts>>(t, weights, wbar.data(), sd_w.data(), y, ybar, sd_y, q.data());
    for (std::size_t k = 0; k < t; ++k) r.outlier_influence[k] = q[k] * g;
    fill_agreement(r);
    return r;
}

FitResult fit_vectorized(MatView weights, VecView y, const double* column_sums, const OutcomeSpread* spread) {
    const std::size_t n = weights.rows();
    const std::size_t t = weights.cols();
    const double n_d = static_cast<double>(n);
    FitResult r = empty_result(t);

    Vector means(t);
    if (column_sums) {
        std::copy_n(column_sums, t, means.data());
    } else {
        matrix::rowwise::column_sums(weights, means.data());
    }
    for (std::size_t k = 0; k < t; ++k) means[k] = means[k] / n_d;
    const OutcomeSpread own = spread ? *spread : outcome_spread(y);
    const double ybar = own.mean;

    // C = D^T dy is summed here in row order, vectorised across the columns,
    // not by the library's matrix-vector product: that one splits the sum
    // over rows by its thread count and its kernel, so the same inputs would
    // give other bits on another machine or with another thread setting. The
    // centred weights D are formed again where they are needed rather than
    // kept as a second N x T matrix.
    const double vy = own.sum_sq;
    Vector vw(t);
    Vector c(t);
    simd::run<lanes::OverColumns<CentredSums>>(t, weights, means.data(), y, ybar, c.data(), vw.data());

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
    simd::run<lanes::OverColumns<ZProducts>>(t, weights, means.data(), sd_w.data(), y, ybar, sd_y, q.data());
    for (std::size_t k = 0; k < t; ++k) {
        r.outlier_influence[k] = std::sqrt(vw[k]) > 0.0 ? q[k] * g : 0.0;
    }
    fill_agreement(r);
    return r;
}

Result<FitResult> fit_auto_vectorized(MatView weights, VecView y, const double* column_sums,
                                      const OutcomeSpread* spread) {
    if (weights.rows() != y.size()) {
        return compute_error(format("Number of observations mismatch: weights has {} rows, y has {} elements",
                                    weights.rows(), y.size()));
    }
    if (weights.cols() <= kMaxPerColumnThresholds) return fit(weights, y, column_sums, spread);
    return fit_vectorized(weights, y, column_sums, spread);
}

}  // namespace toolbox::qel::insights::fit

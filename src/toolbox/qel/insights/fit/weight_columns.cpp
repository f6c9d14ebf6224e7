#include "toolbox/qel/insights/fit/weight_columns.hpp"

#include <cmath>

#include "toolbox/error.hpp"
#include "toolbox/matrix/lanes.hpp"
#include "toolbox/simd.hpp"

namespace toolbox::qel::insights::fit {

using matrix::Vector;

namespace {

namespace lanes = matrix::lanes;

// One step of Welford's running mean and sum of squared deviations of a
// group of columns at row count `count`; NaN weights count as 0.
[[gnu::always_inline]] inline void welford_step(lanes::v4d raw, double count, lanes::v4d& mean, lanes::v4d& ssd) {
    using lanes::v4d;
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    const v4d x = raw == raw ? raw : zero;
    const v4d d = x - mean;
    mean = mean + d / count;
    const v4d e = x - mean;
    for (std::size_t j = 0; j < lanes::kLanes; ++j) ssd[j] = std::fma(e[j], d[j], ssd[j]);
}

// Welford's sums per column, the columns of a row side by side.
template <std::size_t NV>
struct WelfordColumns {
    [[gnu::always_inline]] static void run(const lanes::Block& b, matrix::MatView w, double* out_ssd) {
        lanes::v4d mean[NV] = {}, ssd[NV] = {};
        for (std::size_t i = 0; i < w.rows(); ++i) {
            const double count = static_cast<double>(i + 1);
            const double* row = w.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) welford_step(lanes::load(b, row, g), count, mean[g], ssd[g]);
        }
        for (std::size_t g = 0; g < NV; ++g) lanes::store(b, g, ssd[g], out_ssd);
    }
};

// The same, with each column's plain sum and its sum of products with y.
// Welford's chain through a division sets the pace of the pass; the two sums
// ride along in its shadow.
template <std::size_t NV>
struct WelfordColumnsWithSums {
    [[gnu::always_inline]] static void run(const lanes::Block& b, matrix::MatView w, matrix::VecView y,
                                           double* out_ssd, double* out_sum, double* out_with_y) {
        lanes::v4d mean[NV] = {}, ssd[NV] = {}, sum[NV] = {}, with_y[NV] = {};
        for (std::size_t i = 0; i < w.rows(); ++i) {
            const double count = static_cast<double>(i + 1);
            const double* row = w.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) {
                const lanes::v4d v = lanes::load(b, row, g);
                sum[g] += v;
                with_y[g] += v * y[i];
                welford_step(v, count, mean[g], ssd[g]);
            }
        }
        for (std::size_t g = 0; g < NV; ++g) {
            lanes::store(b, g, ssd[g], out_ssd);
            lanes::store(b, g, sum[g], out_sum);
            lanes::store(b, g, with_y[g], out_with_y);
        }
    }
};

// Each column's plain sum and its sum of products with y.
template <std::size_t NV>
struct ColumnSums {
    [[gnu::always_inline]] static void run(const lanes::Block& b, matrix::MatView w, matrix::VecView y,
                                           double* out_sum, double* out_with_y) {
        lanes::v4d sum[NV] = {}, with_y[NV] = {};
        for (std::size_t i = 0; i < w.rows(); ++i) {
            const double* row = w.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) {
                const lanes::v4d v = lanes::load(b, row, g);
                sum[g] += v;
                with_y[g] += v * y[i];
            }
        }
        for (std::size_t g = 0; g < NV; ++g) {
            lanes::store(b, g, sum[g], out_sum);
            lanes::store(b, g, with_y[g], out_with_y);
        }
    }
};

Vector spread_of(const Vector& ssd, std::size_t n) {
    Vector out = Vector::uninit(ssd.size());
    const double total = static_cast<double>(n);
    for (std::size_t j = 0; j < ssd.size(); ++j) out[j] = std::sqrt(ssd[j] / total);
    return out;
}

}  // namespace

// One pass over the rows with a running mean and sum of squared deviations
// per column (Welford): stable where the naive sum of squares cancels. The
// AVX2 copy does the update's fma in one instruction; the portable one calls
// the library's, with the same result.
Vector weights_concentration_from_matrix(matrix::MatView weights) {
    const std::size_t n = weights.rows();
    const std::size_t t = weights.cols();
    if (n == 0) return Vector(t, 0.0);
    Vector ssd(t, 0.0);
    simd::run<lanes::OverColumns<WelfordColumns, 2>>(t, weights, ssd.data());
    return spread_of(ssd, n);
}

WeightColumnPasses weight_column_passes(matrix::MatView weights, matrix::VecView y) {
    const std::size_t n = weights.rows();
    const std::size_t t = weights.cols();
    require(y.size() == n, "weight_column_passes: y and the weights differ in length");
    WeightColumnPasses out{Vector(t, 0.0), Vector(t), Vector(t)};
    if (n == 0) return out;
    Vector ssd(t, 0.0);
    simd::run<lanes::OverColumns<WelfordColumnsWithSums, 2>>(t, weights, y, ssd.data(), out.column_sums.data(),
                                                             out.weighted_outcomes.data());
    out.concentration = spread_of(ssd, n);
    return out;
}

WeightColumnPasses weight_column_sums(matrix::MatView weights, matrix::VecView y) {
    const std::size_t n = weights.rows();
    const std::size_t t = weights.cols();
    require(y.size() == n, "weight_column_sums: y and the weights differ in length");
    WeightColumnPasses out{Vector(), Vector(t, 0.0), Vector(t, 0.0)};
    if (n == 0) return out;
    simd::run<lanes::OverColumns<ColumnSums>>(t, weights, y, out.column_sums.data(), out.weighted_outcomes.data());
    return out;
}

}  // namespace toolbox::qel::insights::fit

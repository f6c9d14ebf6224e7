#include "toolbox/qel/results/mutators.hpp"

#include <cmath>
#include <limits>

#include "toolbox/format.hpp"
#include "toolbox/matrix/lanes.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/target_clones.hpp"

namespace toolbox::qel::results {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

template <class T>
void keep_element(matrix::Array1<T>& v, std::size_t g, const char* what) {
    if (g >= v.size()) fault(format("select_threshold: index {} out of range for {} of length {}", g, what, v.size()));
    v = matrix::Array1<T>(1, v[g]);
}

template <class T>
void keep_column(matrix::Array2<T>& m, std::size_t g, const char* what) {
    if (g >= m.cols()) fault(format("select_threshold: index {} out of range for {} with {} columns", g, what, m.cols()));
    matrix::Array2<T> column = matrix::Array2<T>::uninit(m.rows(), 1);
    // Every row on its own: many rows are copied side by side on the pool.
    parallel::for_row_blocks(m.rows(), [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) column(i, 0) = m(i, g);
    });
    m = std::move(column);
}

template <class T>
void keep_element(std::optional<matrix::Array1<T>>& v, std::size_t g, const char* what) {
    if (v) keep_element(*v, g, what);
}

template <class T>
void keep_column(std::optional<matrix::Array2<T>>& m, std::size_t g, const char* what) {
    if (m) keep_column(*m, g, what);
}

}  // namespace

void select_threshold(PredictionResults& results, std::size_t g) {
    PredictionCoreResults& core = results.core;
    keep_element(core.yhat, g, "yhat");
    keep_element(core.fit, g, "fit");
    keep_element(core.agreement, g, "agreement");
    keep_element(core.outlier_influence, g, "outlier_influence");
    keep_element(core.asymmetry, g, "asymmetry");
    keep_element(core.adjusted_fit, g, "adjusted_fit");
    keep_element(core.k_fit, g, "k_fit");
    // The linear-regression value is one number for the whole run, not one per
    // threshold; only a per-threshold form is reduced.
    if (core.yhat_linear && core.yhat_linear->size() > 1) keep_element(*core.yhat_linear, g, "yhat_linear");

    if (results.auxiliary) {
        PredictionAuxiliaryInfo& aux = *results.auxiliary;
        keep_element(aux.phi, g, "phi");
        keep_element(aux.lambda_sq, g, "lambda_sq");
        keep_element(aux.full_var, g, "full_var");
        keep_element(aux.part_var, g, "part_var");
        keep_element(aux.r_star, g, "r_star");
        keep_element(aux.r_star_percent, g, "r_star_percent");
        keep_element(aux.n, g, "n");
        keep_element(aux.k, g, "k");
        keep_element(aux.rho, g, "rho");
    }

    keep_column(results.weights, g, "weights");
    keep_column(results.include, g, "include");
    keep_column(results.weights_excluded, g, "weights_excluded");

    if (results.insights) keep_element(results.insights->weights_concentration, g, "weights_concentration");

    if (results.solo_distribution) {
        SoloDistribution& solo = *results.solo_distribution;
        keep_column(solo.xi_solo, g, "xi_solo");
        if (solo.statistics) {
            SoloDistributionStatistics& s = *solo.statistics;
            keep_element(s.ysolo_sigma, g, "ysolo_sigma");
            keep_element(s.ysolo_skewness, g, "ysolo_skewness");
            keep_element(s.ysolo_kurtosis, g, "ysolo_kurtosis");
            keep_element(s.ysolo_pearson_modality_index, g, "ysolo_pearson_modality_index");
            keep_element(s.ysolo_bimodal_index, g, "ysolo_bimodal_index");
        }
    }
}

PredictionAuxiliaryInfo& get_or_alloc_auxiliary(PredictionResults& results) {
    if (!results.auxiliary) {
        const std::size_t len = results.num_thresholds;
        results.auxiliary = PredictionAuxiliaryInfo{
            .phi = Vector(len, NaN),
            .lambda_sq = Vector(len, NaN),
            .full_var = Vector(len, NaN),
            .part_var = Vector(len, NaN),
            .r_star = Vector(len, NaN),
            .r_star_percent = Vector(len, NaN),
            .n = CountVector(len, 0),
            .k = CountVector(len, 0),
            .rho = Vector(len, NaN),
        };
    }
    return *results.auxiliary;
}

SoloDistributionStatistics& get_or_alloc_solo_statistics(PredictionResults& results) {
    if (!results.solo_distribution) results.solo_distribution.emplace();
    SoloDistribution& solo = *results.solo_distribution;
    if (!solo.statistics) solo.statistics.emplace();
    return *solo.statistics;
}

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
// clone for processors with fused multiply-adds does the update's fma in one
// instruction; the others call the library's, with the same result.
QEL_TARGET_CLONES("arch=x86-64-v3", "default") Vector weights_concentration_from_matrix(matrix::MatView weights) {
    const std::size_t n = weights.rows();
    const std::size_t t = weights.cols();
    if (n == 0) return Vector(t, 0.0);
    Vector ssd(t, 0.0);
    lanes::over_columns<WelfordColumns, 2>(t, weights, ssd.data());
    return spread_of(ssd, n);
}

QEL_TARGET_CLONES("arch=x86-64-v3", "default")
WeightColumnPasses weight_column_passes(matrix::MatView weights, matrix::VecView y) {
    const std::size_t n = weights.rows();
    const std::size_t t = weights.cols();
    require(y.size() == n, "weight_column_passes: y and the weights differ in length");
    WeightColumnPasses out{Vector(t, 0.0), Vector(t), Vector(t)};
    if (n == 0) return out;
    Vector ssd(t, 0.0);
    lanes::over_columns<WelfordColumnsWithSums, 2>(t, weights, y, ssd.data(), out.column_sums.data(),
                                                   out.weighted_outcomes.data());
    out.concentration = spread_of(ssd, n);
    return out;
}

QEL_TARGET_CLONES("avx2", "default")
WeightColumnPasses weight_column_sums(matrix::MatView weights, matrix::VecView y) {
    const std::size_t n = weights.rows();
    const std::size_t t = weights.cols();
    require(y.size() == n, "weight_column_sums: y and the weights differ in length");
    WeightColumnPasses out{Vector(), Vector(t, 0.0), Vector(t, 0.0)};
    if (n == 0) return out;
    lanes::over_columns<ColumnSums>(t, weights, y, out.column_sums.data(), out.weighted_outcomes.data());
    return out;
}

}  // namespace toolbox::qel::results

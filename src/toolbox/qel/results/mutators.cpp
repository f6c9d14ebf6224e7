#include "toolbox/qel/results/mutators.hpp"

#include <cmath>
#include <limits>

#include "toolbox/format.hpp"
#include "toolbox/parallel/pool.hpp"

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

}  // namespace toolbox::qel::results

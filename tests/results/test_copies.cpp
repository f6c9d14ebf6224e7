// Copies out of a results handle, as a host calls them: each family's order
// of checks and its messages, both layouts, the C order of the 3-D arrays,
// and the buffer left untouched on every failure.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fixture.hpp"
#include "qelcore.h"

namespace {

using fixture::Handle;
using fixture::PredictionResults;

constexpr double SENTINEL = -12345.0;

std::string last_error() { return qel_last_error(); }

// Leaves a message in place, so a test can see that a call cleared it.
void plant_error() {
    qel_results_copy_yhat(nullptr, nullptr, 0);
    ASSERT_STRNE(qel_last_error(), "");
}

std::vector<double> values(const toolbox::matrix::Vector& v) { return {v.begin(), v.end()}; }
template <class T>
std::vector<double> values(const toolbox::matrix::Array1<T>& v) {
    std::vector<double> out;
    for (const T& x : v) out.push_back(static_cast<double>(x));
    return out;
}

enum class Family { Core, Linear, Relevance, Optional, Auxiliary, Histogram };

using CopyFn = int32_t (*)(const QelPredictionResults*, double*, size_t);

struct VectorExport {
    const char* function;
    CopyFn copy;
    Family family;
    std::string name;
    PredictionResults (*holder)();  // a results object that holds the vector
    std::function<std::vector<double>(const PredictionResults&)> source;
};

PredictionResults prediction() { return fixture::prediction(3, 2, 4, 5); }
PredictionResults grid() { return fixture::grid_run(3, 2, 4); }
PredictionResults maxfit() { return fixture::maxfit(3, 2, 4, 2); }

#define VEC(fn, family, name, holder, expr) \
    {#fn, fn, Family::family, name, holder, [](const PredictionResults& r) { return values(expr); }}

const std::vector<VectorExport>& vector_exports() {
    static const std::vector<VectorExport> table = {
        VEC(qel_results_copy_yhat, Core, "", prediction, r.core.yhat),
        VEC(qel_results_copy_fit, Core, "", prediction, r.core.fit),
        VEC(qel_results_copy_agreement, Core, "", prediction, r.core.agreement),
        VEC(qel_results_copy_outlier_influence, Core, "", prediction, r.core.outlier_influence),
        VEC(qel_results_copy_asymmetry, Core, "", prediction, r.core.asymmetry),
        VEC(qel_results_copy_adjusted_fit, Core, "", prediction, r.core.adjusted_fit),
        VEC(qel_results_copy_k_fit, Core, "", prediction, r.core.k_fit),
        VEC(qel_results_copy_thresholds, Core, "", prediction, r.thresholds),
        VEC(qel_results_copy_yhat_linear, Linear, "", prediction, *r.core.yhat_linear),
        VEC(qel_results_copy_relevance, Relevance, "relevance", prediction, *r.insights->relevance),
        VEC(qel_results_copy_similarity, Relevance, "similarity", prediction, *r.insights->similarity),
        VEC(qel_results_copy_info_x, Relevance, "info_x", prediction, *r.insights->info_x),
        VEC(qel_results_copy_info_theta, Relevance, "info_theta", prediction, *r.insights->info_theta),
        VEC(qel_results_copy_maxfit_index, Optional, "maxfit_index", maxfit, *r.maxfit_index),
        VEC(qel_results_copy_variable_weights, Optional, "variable_weights", grid, *r.grid_insights->variable_weights),
        VEC(qel_results_copy_mctc, Optional, "marginal_contribution_to_conviction", grid,
            *r.grid_insights->marginal_contribution_to_conviction),
        VEC(qel_results_copy_mctp, Optional, "marginal_contribution_to_prediction", grid,
            *r.grid_insights->marginal_contribution_to_prediction),
        VEC(qel_results_copy_cctp, Optional, "component_contribution_to_prediction", grid,
            *r.grid_insights->component_contribution_to_prediction),
        VEC(qel_results_copy_xi_solo_composite, Optional, "xi_solo_composite", grid,
            *r.grid_insights->xi_solo_composite),
        VEC(qel_results_copy_weights_concentration, Optional, "weights_concentration", prediction,
            *r.insights->weights_concentration),
        VEC(qel_results_copy_y_solo, Optional, "y_solo", prediction, *r.solo_distribution->y_solo),
        VEC(qel_results_copy_ysolo_sigma, Optional, "ysolo_sigma", prediction,
            *r.solo_distribution->statistics->ysolo_sigma),
        VEC(qel_results_copy_ysolo_skewness, Optional, "ysolo_skewness", prediction,
            *r.solo_distribution->statistics->ysolo_skewness),
        VEC(qel_results_copy_ysolo_kurtosis, Optional, "ysolo_kurtosis", prediction,
            *r.solo_distribution->statistics->ysolo_kurtosis),
        VEC(qel_results_copy_ysolo_pearson_modality_index, Optional, "ysolo_pearson_modality_index", prediction,
            *r.solo_distribution->statistics->ysolo_pearson_modality_index),
        VEC(qel_results_copy_ysolo_bimodal_index, Optional, "ysolo_bimodal_index", prediction,
            *r.solo_distribution->statistics->ysolo_bimodal_index),
        VEC(qel_results_copy_aux_phi, Auxiliary, "phi", prediction, r.auxiliary->phi),
        VEC(qel_results_copy_aux_lambda_sq, Auxiliary, "lambda_sq", prediction, r.auxiliary->lambda_sq),
        VEC(qel_results_copy_aux_full_var, Auxiliary, "full_var", prediction, r.auxiliary->full_var),
        VEC(qel_results_copy_aux_part_var, Auxiliary, "part_var", prediction, r.auxiliary->part_var),
        VEC(qel_results_copy_aux_r_star, Auxiliary, "r_star", prediction, r.auxiliary->r_star),
        VEC(qel_results_copy_aux_r_star_percent, Auxiliary, "r_star_percent", prediction, r.auxiliary->r_star_percent),
        VEC(qel_results_copy_aux_n, Auxiliary, "aux.n", prediction, r.auxiliary->n),
        VEC(qel_results_copy_aux_k, Auxiliary, "aux.k", prediction, r.auxiliary->k),
        VEC(qel_results_copy_aux_rho, Auxiliary, "rho", grid, r.auxiliary->rho),
        VEC(qel_results_copy_ysolo_bin_edges, Histogram, "bin_edges", prediction,
            r.solo_distribution->ysolo_distribution->bin_edges),
        VEC(qel_results_copy_ysolo_bin_centers, Histogram, "bin_centers", prediction,
            r.solo_distribution->ysolo_distribution->bin_centers),
        VEC(qel_results_copy_ysolo_bin_widths, Histogram, "bin_widths", prediction,
            r.solo_distribution->ysolo_distribution->bin_widths),
    };
    return table;
}
#undef VEC

std::string null_out_message(const VectorExport& e) {
    switch (e.family) {
        case Family::Core:
        case Family::Linear: return "out buffer is null";
        case Family::Relevance: return e.name + " out buffer is null";
        default: return e.name + " out is null";
    }
}

std::string absent_message(const VectorExport& e) {
    switch (e.family) {
        case Family::Linear: return "yhat_linear not available (enable include_linear_regression)";
        case Family::Auxiliary: return "auxiliary not available";
        case Family::Histogram: return "ysolo_distribution not available";
        default: return e.name + " not available on these results";
    }
}

std::string short_message(const VectorExport& e, size_t need, size_t got) {
    const std::string n = std::to_string(need), g = std::to_string(got);
    switch (e.family) {
        case Family::Core:
        case Family::Linear: return "out buffer too small: need at least " + n + ", got " + g;
        case Family::Relevance: return e.name + ": out buffer too small: need " + n + ", got " + g;
        default: return e.name + ": need " + n + ", got " + g;
    }
}

// The optional, auxiliary and histogram families report an absent part
// before a NULL buffer; the others the other way round.
bool absence_first(Family f) { return f == Family::Optional || f == Family::Auxiliary || f == Family::Histogram; }

TEST(ResultsCopies, VectorFamiliesCopyAndReportInTheirOwnOrder) {
    for (const auto& e : vector_exports()) {
        SCOPED_TRACE(e.function);
        const PredictionResults held = e.holder();
        const std::vector<double> expected = e.source(held);
        ASSERT_FALSE(expected.empty());
        const Handle h = fixture::box(PredictionResults(held));

        // Success into a longer buffer: the tail stays as it was.
        plant_error();
        std::vector<double> out(expected.size() + 2, SENTINEL);
        EXPECT_EQ(e.copy(h.get(), out.data(), out.size()), QEL_STATUS_OK);
        EXPECT_EQ(last_error(), "");
        EXPECT_EQ(std::vector<double>(out.begin(), out.begin() + expected.size()), expected);
        EXPECT_EQ(out[expected.size()], SENTINEL);
        EXPECT_EQ(out[expected.size() + 1], SENTINEL);

        // One element short.
        std::vector<double> shortbuf(expected.size(), SENTINEL);
        EXPECT_EQ(e.copy(h.get(), shortbuf.data(), expected.size() - 1), QEL_STATUS_SIZE_MISMATCH);
        EXPECT_EQ(last_error(), short_message(e, expected.size(), expected.size() - 1));
        EXPECT_EQ(shortbuf, std::vector<double>(expected.size(), SENTINEL));

        EXPECT_EQ(e.copy(h.get(), nullptr, out.size()), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), null_out_message(e));

        EXPECT_EQ(e.copy(nullptr, out.data(), out.size()), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), "results is null");
        EXPECT_EQ(e.copy(nullptr, nullptr, 0), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), "results is null");

        if (e.family == Family::Core) continue;  // always present
        const Handle none = fixture::box(fixture::bare(3, 2, 4));
        double one = SENTINEL;
        EXPECT_EQ(e.copy(none.get(), &one, 1), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), absent_message(e));
        EXPECT_EQ(one, SENTINEL);
        if (absence_first(e.family)) {
            EXPECT_EQ(e.copy(none.get(), nullptr, 0), QEL_STATUS_INVALID_VALUE);
            EXPECT_EQ(last_error(), absent_message(e));
        } else {
            EXPECT_EQ(e.copy(none.get(), nullptr, 0), QEL_STATUS_NULL_POINTER);
            EXPECT_EQ(last_error(), null_out_message(e));
        }
    }
}

TEST(ResultsCopies, HoldersWithoutTheVectorAreAbsentToo) {
    // Each holding part present but without the vector: still "not available".
    PredictionResults r = fixture::bare(3, 2, 2);
    r.insights.emplace();
    r.grid_insights.emplace();
    r.solo_distribution.emplace();
    r.solo_distribution->statistics.emplace();
    const Handle h = fixture::box(std::move(r));
    double buf[4];
    for (const auto& e : vector_exports()) {
        if (e.family != Family::Optional && e.family != Family::Relevance) continue;
        SCOPED_TRACE(e.function);
        EXPECT_EQ(e.copy(h.get(), buf, 4), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), absent_message(e));
    }
    EXPECT_EQ(qel_results_copy_ysolo_bin_edges(h.get(), buf, 4), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(last_error(), "ysolo_distribution not available");
}

TEST(ResultsCopies, AuxiliaryCountsAreCopiedAsDoubles) {
    const Handle h = fixture::box(fixture::prediction(3, 2, 4, 5));
    double n[4], k[4];
    ASSERT_EQ(qel_results_copy_aux_n(h.get(), n, 4), QEL_STATUS_OK);
    ASSERT_EQ(qel_results_copy_aux_k(h.get(), k, 4), QEL_STATUS_OK);
    EXPECT_EQ(std::vector<double>(n, n + 4), (std::vector<double>{3.0, 4.0, 5.0, 6.0}));
    EXPECT_EQ(std::vector<double>(k, k + 4), (std::vector<double>{2.0, 2.0, 2.0, 2.0}));
}

TEST(ResultsCopies, GridResultHoldsNoThresholds) {
    const Handle h = fixture::box(fixture::grid_run(2, 2, 3));
    double out = SENTINEL;
    EXPECT_EQ(qel_results_copy_thresholds(h.get(), &out, 0), QEL_STATUS_OK);
    EXPECT_EQ(out, SENTINEL);
    EXPECT_EQ(qel_results_copy_thresholds(h.get(), nullptr, 0), QEL_STATUS_NULL_POINTER);
    EXPECT_EQ(last_error(), "out buffer is null");
    // A grid result keeps only the weights concentration of the insights.
    EXPECT_EQ(qel_results_copy_relevance(h.get(), &out, 1), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(last_error(), "relevance not available on these results");
    EXPECT_EQ(qel_results_copy_relevance(h.get(), nullptr, 1), QEL_STATUS_NULL_POINTER);
    EXPECT_EQ(last_error(), "relevance out buffer is null");
    EXPECT_EQ(qel_results_copy_weights_concentration(h.get(), &out, 1), QEL_STATUS_OK);
    EXPECT_EQ(out, 1400.0);
}

TEST(ResultsCopies, MaxFitResultHoldsTheChosenThreshold) {
    const Handle h = fixture::box(fixture::maxfit(3, 2, 4, 2));
    ASSERT_EQ(qel_results_maxfit_index_len(h.get()), 4u);
    double index[4];
    ASSERT_EQ(qel_results_copy_maxfit_index(h.get(), index, 4), QEL_STATUS_OK);
    EXPECT_EQ(std::vector<double>(index, index + 4), (std::vector<double>{0.0, 0.0, 1.0, 0.0}));
    double yhat = 0.0, threshold = 0.0;
    ASSERT_EQ(qel_results_copy_yhat(h.get(), &yhat, 1), QEL_STATUS_OK);
    ASSERT_EQ(qel_results_copy_thresholds(h.get(), &threshold, 1), QEL_STATUS_OK);
    EXPECT_EQ(yhat, 102.0);
    EXPECT_EQ(threshold, 2.5);

    const Handle p = fixture::box(fixture::prediction(3, 2, 4, 5));
    EXPECT_EQ(qel_results_copy_maxfit_index(p.get(), index, 4), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(last_error(), "maxfit_index not available on these results");
    double four[4];
    EXPECT_EQ(qel_results_copy_yhat(p.get(), four, 3), QEL_STATUS_SIZE_MISMATCH);
    EXPECT_EQ(last_error(), "out buffer too small: need at least 4, got 3");
}

// --- matrices --------------------------------------------------------------

using MatrixFn = int32_t (*)(const QelPredictionResults*, double*, size_t, int32_t);

struct MatrixExport {
    const char* function;
    MatrixFn copy;
    std::string name;
    std::string absent;
    PredictionResults (*holder)();
    std::function<const toolbox::matrix::Matrix&(const PredictionResults&)> source;
};

#define MAT(fn, name, absent, holder, expr) \
    {#fn, fn, name, absent, holder, [](const PredictionResults& r) -> const toolbox::matrix::Matrix& { return expr; }}

const std::vector<MatrixExport>& matrix_exports() {
    static const std::vector<MatrixExport> table = {
        MAT(qel_results_copy_weights, "weights", "weights not available", prediction, *r.weights),
        MAT(qel_results_copy_weights_excluded, "weights_excluded", "weights_excluded not available", prediction,
            *r.weights_excluded),
        MAT(qel_results_copy_xi_solo, "xi_solo", "xi_solo not available", prediction, *r.solo_distribution->xi_solo),
        MAT(qel_results_copy_ysolo_bin_counts, "ysolo bin counts", "ysolo_distribution not available", prediction,
            r.solo_distribution->ysolo_distribution->bin_counts),
        MAT(qel_results_copy_combi_cells, "combi_cells", "combi_cells not available", grid, **r.grid_cells->combi_cells),
        MAT(qel_results_copy_k_cells, "k_cells", "k_cells not available", grid, **r.grid_cells->k_cells),
        MAT(qel_results_copy_ysolo_cells, "ysolo_cells", "ysolo_cells not available", grid, **r.grid_cells->ysolo_cells),
    };
    return table;
}
#undef MAT

std::vector<double> in_layout(const toolbox::matrix::Matrix& m, int32_t layout) {
    std::vector<double> out;
    if (layout == QEL_LAYOUT_ROW_MAJOR) {
        for (size_t i = 0; i < m.rows(); ++i)
            for (size_t j = 0; j < m.cols(); ++j) out.push_back(m(i, j));
    } else {
        for (size_t j = 0; j < m.cols(); ++j)
            for (size_t i = 0; i < m.rows(); ++i) out.push_back(m(i, j));
    }
    return out;
}

std::string times(size_t a, size_t b) { return std::to_string(a) + "\u00d7" + std::to_string(b); }

TEST(ResultsCopies, MatricesCheckAbsenceThenBufferThenSizeThenLayout) {
    for (const auto& e : matrix_exports()) {
        SCOPED_TRACE(e.function);
        const PredictionResults held = e.holder();
        const auto& m = e.source(held);
        const size_t need = m.rows() * m.cols();
        ASSERT_GT(need, 1u);
        const Handle h = fixture::box(PredictionResults(held));

        for (int32_t layout : {QEL_LAYOUT_ROW_MAJOR, QEL_LAYOUT_COL_MAJOR}) {
            plant_error();
            std::vector<double> out(need + 1, SENTINEL);
            EXPECT_EQ(e.copy(h.get(), out.data(), out.size(), layout), QEL_STATUS_OK);
            EXPECT_EQ(last_error(), "");
            EXPECT_EQ(std::vector<double>(out.begin(), out.end() - 1), in_layout(m, layout)) << layout;
            EXPECT_EQ(out.back(), SENTINEL);
        }

        std::vector<double> out(need, SENTINEL);
        EXPECT_EQ(e.copy(h.get(), out.data(), need, 2), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), "invalid QelLayout value: 2 (use 0=row-major, 1=col-major)");
        EXPECT_EQ(e.copy(h.get(), out.data(), need, -1), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), "invalid QelLayout value: -1 (use 0=row-major, 1=col-major)");
        // The size is checked before the layout code.
        const std::string short_msg = e.name + ": need " + std::to_string(need) + " (= " + times(m.rows(), m.cols()) +
                                      "), got " + std::to_string(need - 1);
        EXPECT_EQ(e.copy(h.get(), out.data(), need - 1, 0), QEL_STATUS_SIZE_MISMATCH);
        EXPECT_EQ(last_error(), short_msg);
        EXPECT_EQ(e.copy(h.get(), out.data(), need - 1, 9), QEL_STATUS_SIZE_MISMATCH);
        EXPECT_EQ(last_error(), short_msg);
        EXPECT_EQ(out, std::vector<double>(need, SENTINEL));
        EXPECT_EQ(e.copy(h.get(), nullptr, need, 9), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), e.name + " out is null");
        EXPECT_EQ(e.copy(nullptr, out.data(), need, 0), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), "results is null");

        // Absent: reported before a NULL buffer.
        const Handle none = fixture::box(fixture::bare(3, 2, 4));
        EXPECT_EQ(e.copy(none.get(), nullptr, 0, 9), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), e.absent);
        EXPECT_EQ(e.copy(none.get(), out.data(), need, 0), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), e.absent);
    }
}

TEST(ResultsCopies, WeightsOfThreeObservationsAndTwoThresholds) {
    PredictionResults r = fixture::bare(3, 1, 2);
    r.weights = toolbox::matrix::Matrix{{0.0, 0.1}, {1.0, 1.1}, {2.0, 2.1}};
    const Handle h = fixture::box(std::move(r));
    double out[6];
    ASSERT_EQ(qel_results_copy_weights(h.get(), out, 6, 0), QEL_STATUS_OK);
    EXPECT_EQ(std::vector<double>(out, out + 6), (std::vector<double>{0.0, 0.1, 1.0, 1.1, 2.0, 2.1}));
    ASSERT_EQ(qel_results_copy_weights(h.get(), out, 6, 1), QEL_STATUS_OK);
    EXPECT_EQ(std::vector<double>(out, out + 6), (std::vector<double>{0.0, 1.0, 2.0, 0.1, 1.1, 2.1}));
    EXPECT_EQ(qel_results_copy_weights(h.get(), out, 5, 0), QEL_STATUS_SIZE_MISMATCH);
    EXPECT_EQ(last_error(), "weights: need 6 (= 3\u00d72), got 5");
}

TEST(ResultsCopies, HistogramCountsMessageShowsBinsTimesThresholds) {
    const Handle h = fixture::box(fixture::prediction(3, 2, 3, 8));
    std::vector<double> out(20);
    EXPECT_EQ(qel_results_copy_ysolo_bin_counts(h.get(), out.data(), 20, 0), QEL_STATUS_SIZE_MISMATCH);
    EXPECT_EQ(last_error(), "ysolo bin counts: need 24 (= 8\u00d73), got 20");
}

TEST(ResultsCopies, EmptyMatrixStillNeedsABufferAndAValidLayout) {
    PredictionResults r = fixture::bare(0, 1, 2);
    r.weights = toolbox::matrix::Matrix(0, 2);
    const Handle h = fixture::box(std::move(r));
    double out = SENTINEL;
    EXPECT_EQ(qel_results_copy_weights(h.get(), &out, 0, 1), QEL_STATUS_OK);
    EXPECT_EQ(out, SENTINEL);
    EXPECT_EQ(qel_results_copy_weights(h.get(), &out, 0, 3), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(last_error(), "invalid QelLayout value: 3 (use 0=row-major, 1=col-major)");
    EXPECT_EQ(qel_results_copy_weights(h.get(), nullptr, 0, 0), QEL_STATUS_NULL_POINTER);
    EXPECT_EQ(last_error(), "weights out is null");
}

// --- per-censor grid arrays -------------------------------------------------

using CensorMatrixFn = int32_t (*)(const QelPredictionResults*, int32_t, double*, size_t, int32_t);
using CensorArrayFn = int32_t (*)(const QelPredictionResults*, int32_t, double*, size_t);

struct CensorExport {
    const char* function;
    CensorMatrixFn matrix;  // one of the two is set
    CensorArrayFn array;
    std::string name;
    std::string key;
};

const CensorExport censor_exports[] = {
    {"qel_results_copy_yhat_cells", qel_results_copy_yhat_cells, nullptr, "yhat_cells", "yhat"},
    {"qel_results_copy_adjusted_fit_cells", qel_results_copy_adjusted_fit_cells, nullptr, "adjusted_fit_cells", "adj"},
    {"qel_results_copy_n_cells", qel_results_copy_n_cells, nullptr, "n_cells", "n"},
    {"qel_results_copy_weights_cells", nullptr, qel_results_copy_weights_cells, "weights_cells", "weights"},
    {"qel_results_copy_xi_solo_cells", nullptr, qel_results_copy_xi_solo_cells, "xi_solo_cells", "xi"},
};

int32_t call(const CensorExport& e, const QelPredictionResults* h, int32_t censor, double* out, size_t len,
             int32_t layout = 0) {
    return e.matrix ? e.matrix(h, censor, out, len, layout) : e.array(h, censor, out, len);
}

TEST(ResultsCopies, CensorPartsCheckTheCodeThenPresenceThenTheBuffer) {
    // Grid cells of the relevance censor type only: N = 2, T = 1, C = 3.
    const Handle h = fixture::box(fixture::grid_run(2, 2, 3));
    const Handle none = fixture::box(fixture::bare(2, 2, 1));
    for (const auto& e : censor_exports) {
        SCOPED_TRACE(e.function);
        std::vector<double> copied(8, SENTINEL);
        plant_error();
        EXPECT_EQ(call(e, h.get(), 0, copied.data(), copied.size()), QEL_STATUS_OK);
        EXPECT_EQ(last_error(), "");
        EXPECT_NE(copied[0], SENTINEL);

        std::vector<double> out(8, SENTINEL);

        const std::string missing1 = e.key + "_cells not available for censor=1";
        EXPECT_EQ(call(e, h.get(), 1, out.data(), out.size()), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), missing1);
        EXPECT_EQ(call(e, h.get(), 1, nullptr, 0), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), missing1);
        EXPECT_EQ(call(e, none.get(), 0, nullptr, 0), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), e.key + "_cells not available for censor=0");

        for (int32_t bad : {2, -1, 7}) {
            EXPECT_EQ(call(e, h.get(), bad, out.data(), out.size()), QEL_STATUS_INVALID_VALUE);
            EXPECT_EQ(last_error(), "invalid grid censor code");
            // Even without any grid cells, and before a NULL buffer.
            EXPECT_EQ(call(e, none.get(), bad, nullptr, 0), QEL_STATUS_INVALID_VALUE);
            EXPECT_EQ(last_error(), "invalid grid censor code");
        }
        EXPECT_EQ(call(e, nullptr, 9, out.data(), out.size()), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), "results is null");
        EXPECT_EQ(call(e, h.get(), 0, nullptr, 8), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), e.name + " out is null");
        EXPECT_EQ(out, std::vector<double>(8, SENTINEL));
    }
}

TEST(ResultsCopies, CensorMatricesInBothLayouts) {
    const PredictionResults held = fixture::grid_run(2, 2, 3);
    const Handle h = fixture::box(PredictionResults(held));
    const auto& cells = *held.grid_cells->relevance;
    const toolbox::matrix::Matrix* sources[] = {&*cells.yhat_cells, &*cells.adjusted_fit_cells, &*cells.n_cells};
    for (size_t f = 0; f < 3; ++f) {
        const auto& e = censor_exports[f];
        SCOPED_TRACE(e.function);
        for (int32_t layout : {0, 1}) {
            std::vector<double> out(3);
            ASSERT_EQ(call(e, h.get(), 0, out.data(), 3, layout), QEL_STATUS_OK);
            EXPECT_EQ(out, in_layout(*sources[f], layout));
        }
        std::vector<double> out(3, SENTINEL);
        EXPECT_EQ(call(e, h.get(), 0, out.data(), 3, 2), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), "invalid QelLayout value: 2 (use 0=row-major, 1=col-major)");
        EXPECT_EQ(call(e, h.get(), 0, out.data(), 2, 2), QEL_STATUS_SIZE_MISMATCH);
        EXPECT_EQ(last_error(), e.name + ": need 3 (= 3\u00d71), got 2");
    }
}

TEST(ResultsCopies, CensorArraysAreWrittenInCOrder) {
    // N = 2, T = 2, C = 3 so that every index shows in the order.
    PredictionResults r = fixture::grid_run(2, 2, 3);
    r.grid_cells->similarity = toolbox::qel::results::CensorGridCells{};
    r.grid_cells->similarity->xi_solo_cells = fixture::cube(0.0, 2, 2, 3);
    const Handle h = fixture::box(std::move(r));
    std::vector<double> out(12);
    ASSERT_EQ(qel_results_copy_xi_solo_cells(h.get(), 1, out.data(), out.size()), QEL_STATUS_OK);
    EXPECT_EQ(out, (std::vector<double>{0, 1, 2, 10, 11, 12, 100, 101, 102, 110, 111, 112}));
    // The similarity part holds no weights.
    EXPECT_EQ(qel_results_copy_weights_cells(h.get(), 1, out.data(), out.size()), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(last_error(), "weights_cells not available for censor=1");

    const Handle g = fixture::box(fixture::grid_run(2, 2, 3));
    std::vector<double> six(6, SENTINEL);
    ASSERT_EQ(qel_results_copy_weights_cells(g.get(), 0, six.data(), 6), QEL_STATUS_OK);
    EXPECT_EQ(six, (std::vector<double>{14000, 14001, 14002, 14100, 14101, 14102}));
    std::vector<double> five(5, SENTINEL);
    EXPECT_EQ(qel_results_copy_weights_cells(g.get(), 0, five.data(), 5), QEL_STATUS_SIZE_MISMATCH);
    EXPECT_EQ(last_error(), "weights_cells: need 6 (= 2\u00d71\u00d73), got 5");
    EXPECT_EQ(five, std::vector<double>(5, SENTINEL));
}

TEST(ResultsCopies, EmptyCensorArrayCopiesNothing) {
    PredictionResults r = fixture::grid_run(2, 2, 3);
    r.grid_cells->relevance->weights_cells = toolbox::matrix::Array3d(0, 1, 3);
    const Handle h = fixture::box(std::move(r));
    double out = SENTINEL;
    EXPECT_EQ(qel_results_copy_weights_cells(h.get(), 0, &out, 0), QEL_STATUS_OK);
    EXPECT_EQ(out, SENTINEL);
    EXPECT_EQ(qel_results_copy_weights_cells(h.get(), 0, nullptr, 0), QEL_STATUS_NULL_POINTER);
    EXPECT_EQ(last_error(), "weights_cells out is null");
}

// --- include mask -------------------------------------------------------------

TEST(ResultsCopies, IncludeMaskIsBytesInEitherLayout) {
    PredictionResults r = fixture::bare(3, 1, 2);
    r.include = toolbox::matrix::BoolMatrix{{true, false}, {false, false}, {true, true}};
    const Handle h = fixture::box(std::move(r));
    std::vector<uint8_t> out(7, 0xAA);
    ASSERT_EQ(qel_results_copy_include(h.get(), out.data(), out.size(), 0), QEL_STATUS_OK);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 0, 0, 0, 1, 1, 0xAA}));
    ASSERT_EQ(qel_results_copy_include(h.get(), out.data(), 6, 1), QEL_STATUS_OK);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 0, 1, 0, 0, 1, 0xAA}));

    std::vector<uint8_t> untouched(6, 0xAA);
    struct Case {
        const QelPredictionResults* results;
        uint8_t* out;
        size_t len;
        int32_t layout;
        int32_t status;
        const char* message;
    } cases[] = {
        {nullptr, untouched.data(), 6, 0, QEL_STATUS_NULL_POINTER, "results is null"},
        {h.get(), nullptr, 6, 0, QEL_STATUS_NULL_POINTER, "include out is null"},
        {h.get(), untouched.data(), 5, 0, QEL_STATUS_SIZE_MISMATCH, "include: need 6, got 5"},
        {h.get(), untouched.data(), 5, 4, QEL_STATUS_SIZE_MISMATCH, "include: need 6, got 5"},
        {h.get(), untouched.data(), 6, 4, QEL_STATUS_INVALID_VALUE,
         "invalid QelLayout value: 4 (use 0=row-major, 1=col-major)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(qel_results_copy_include(c.results, c.out, c.len, c.layout), c.status);
        EXPECT_EQ(last_error(), c.message);
    }
    EXPECT_EQ(untouched, std::vector<uint8_t>(6, 0xAA));

    // Without a mask: a NULL buffer is reported first.
    const Handle none = fixture::box(fixture::bare(3, 1, 2));
    EXPECT_EQ(qel_results_copy_include(none.get(), nullptr, 6, 0), QEL_STATUS_NULL_POINTER);
    EXPECT_EQ(last_error(), "include out is null");
    EXPECT_EQ(qel_results_copy_include(none.get(), untouched.data(), 6, 0), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(last_error(), "include not available");
}

TEST(ResultsCopies, ASuccessAfterAFailureLeavesNoMessage) {
    const Handle h = fixture::box(fixture::prediction(3, 2, 2, 2));
    double out[8];
    EXPECT_EQ(qel_results_copy_weights(h.get(), out, 8, 5), QEL_STATUS_INVALID_VALUE);
    EXPECT_NE(last_error(), "");
    EXPECT_EQ(qel_results_copy_weights(h.get(), out, 8, 0), QEL_STATUS_OK);
    EXPECT_EQ(last_error(), "");
}

}  // namespace

// The results copies: every array of a results object leaves the library only
// by a copy into a buffer the caller owns. Each family is one routine; the
// exports are generated from the tables below. Families differ in the order
// of their checks (absence before or after a NULL buffer) and in their
// messages, which hosts already match on, so each keeps its own.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "ffi/error.hpp"
#include "ffi/results.hpp"
#include "ffi/results_detail.hpp"
#include "qelcore.h"
#include "toolbox/qel/results/accessors.hpp"

using namespace ffi::results_detail;
using ffi::error::clear_last_error;
using toolbox::qel::results::PredictionAuxiliaryInfo;
using toolbox::qel::results::PredictionInsights;
using toolbox::qel::results::YSoloDistributionSummary;

namespace {

// Core vectors and thresholds: always present, so only pointers and size.
template <class Get>
std::int32_t copy_core(const QelPredictionResults* results, double* out, std::size_t out_len, Get get) noexcept {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    if (out == nullptr) return fail(QEL_STATUS_NULL_POINTER, "out buffer is null");
    const Vector& v = get(**held);
    if (out_len < v.size()) {
        return fail(QEL_STATUS_SIZE_MISMATCH, "out buffer too small: need at least {}, got {}", v.size(), out_len);
    }
    std::copy_n(v.data(), v.size(), out);
    return QEL_STATUS_OK;
}

std::int32_t copy_relevance(const QelPredictionResults* results, double* out, std::size_t out_len,
                            std::string_view name, std::optional<Vector> PredictionInsights::*field) noexcept {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    if (out == nullptr) return fail(QEL_STATUS_NULL_POINTER, "{} out buffer is null", name);
    const auto& insights = (*held)->insights;
    if (!insights || !(*insights.*field)) {
        return fail(QEL_STATUS_INVALID_VALUE, "{} not available on these results", name);
    }
    const Vector& v = *(*insights.*field);
    if (out_len < v.size()) {
        return fail(QEL_STATUS_SIZE_MISMATCH, "{}: out buffer too small: need {}, got {}", name, v.size(), out_len);
    }
    std::copy_n(v.data(), v.size(), out);
    return QEL_STATUS_OK;
}

// Writes a vector of doubles or of counts (converted to the nearest double).
template <class T>
void write_vector(const toolbox::matrix::Array1<T>& v, double* out) noexcept {
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = static_cast<double>(v[i]);
}

template <class T>
std::int32_t copy_auxiliary(const QelPredictionResults* results, double* out, std::size_t out_len,
                            std::string_view name, toolbox::matrix::Array1<T> PredictionAuxiliaryInfo::*field) noexcept {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    const auto& aux = (*held)->auxiliary;
    if (!aux) return fail(QEL_STATUS_INVALID_VALUE, "auxiliary not available");
    if (out == nullptr) return fail(QEL_STATUS_NULL_POINTER, "{} out is null", name);
    const auto& v = *aux.*field;
    if (out_len < v.size()) return fail(QEL_STATUS_SIZE_MISMATCH, "{}: need {}, got {}", name, v.size(), out_len);
    write_vector(v, out);
    return QEL_STATUS_OK;
}

std::int32_t copy_histogram(const QelPredictionResults* results, double* out, std::size_t out_len,
                            std::string_view name, Vector YSoloDistributionSummary::*field) noexcept {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    const auto& solo = (*held)->solo_distribution;
    if (!solo || !solo->ysolo_distribution) return fail(QEL_STATUS_INVALID_VALUE, "ysolo_distribution not available");
    if (out == nullptr) return fail(QEL_STATUS_NULL_POINTER, "{} out is null", name);
    const Vector& v = *solo->ysolo_distribution.*field;
    if (out_len < v.size()) return fail(QEL_STATUS_SIZE_MISMATCH, "{}: need {}, got {}", name, v.size(), out_len);
    std::copy_n(v.data(), v.size(), out);
    return QEL_STATUS_OK;
}

std::int32_t copy_matrix(const QelPredictionResults* results, double* out, std::size_t out_len, std::int32_t layout,
                         const MatrixPart& part) noexcept {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    const Matrix* m = part.find(**held);
    if (m == nullptr) return fail(QEL_STATUS_INVALID_VALUE, part.absent);
    return write_array2(m->view(), out, out_len, layout, part.name);
}

std::int32_t copy_censor_matrix(const QelPredictionResults* results, std::int32_t censor, double* out,
                                std::size_t out_len, std::int32_t layout, const CellKey2& key,
                                std::string_view name) noexcept {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    const auto m = cell2(**held, censor, key);
    if (!m) return m.error();
    return write_array2((*m)->view(), out, out_len, layout, name);
}

std::int32_t copy_censor_array3(const QelPredictionResults* results, std::int32_t censor, double* out,
                                std::size_t out_len, const CellKey3& key, std::string_view name) noexcept {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    const auto a = cell3(**held, censor, key);
    if (!a) return a.error();
    return write_array3_c(**a, out, out_len, name);
}

}  // namespace

// --- core vectors: (export suffix, field) ---------------------------------
#define QEL_CORE_VECTORS(X)                  \
    X(yhat, core.yhat)                       \
    X(fit, core.fit)                         \
    X(agreement, core.agreement)             \
    X(outlier_influence, core.outlier_influence) \
    X(asymmetry, core.asymmetry)             \
    X(adjusted_fit, core.adjusted_fit)       \
    X(k_fit, core.k_fit)                     \
    X(thresholds, thresholds)

#define X(suffix, field)                                                                                       \
    extern "C" QEL_API int32_t qel_results_copy_##suffix(const QelPredictionResults* results, double* out,    \
                                                         size_t out_len) {                                    \
        return copy_core(results, out, out_len, [](const PredictionResults& r) -> const Vector& { return r.field; }); \
    }
QEL_CORE_VECTORS(X)
#undef X

extern "C" QEL_API int32_t qel_results_copy_yhat_linear(const QelPredictionResults* results, double* out,
                                                        size_t out_len) {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    if (out == nullptr) return fail(QEL_STATUS_NULL_POINTER, "out buffer is null");
    const auto& linear = (*held)->core.yhat_linear;
    if (!linear) return fail(QEL_STATUS_INVALID_VALUE, "yhat_linear not available (enable include_linear_regression)");
    if (out_len < linear->size()) {
        return fail(QEL_STATUS_SIZE_MISMATCH, "out buffer too small: need at least {}, got {}", linear->size(),
                    out_len);
    }
    std::copy_n(linear->data(), linear->size(), out);
    return QEL_STATUS_OK;
}

// --- relevance vectors: (field, also the name in messages) ---------------
#define QEL_RELEVANCE_VECTORS(X) X(relevance) X(similarity) X(info_x) X(info_theta)

#define X(field)                                                                                              \
    extern "C" QEL_API int32_t qel_results_copy_##field(const QelPredictionResults* results, double* out,    \
                                                        size_t out_len) {                                    \
        return copy_relevance(results, out, out_len, #field, &PredictionInsights::field);                    \
    }
QEL_RELEVANCE_VECTORS(X)
#undef X

// --- optional vectors: (export suffix, accessor, also the name) ----------
#define QEL_OPTIONAL_VECTORS(X)                           \
    X(maxfit_index, maxfit_index)                         \
    X(variable_weights, variable_weights)                 \
    X(mctc, marginal_contribution_to_conviction)          \
    X(mctp, marginal_contribution_to_prediction)          \
    X(cctp, component_contribution_to_prediction)         \
    X(xi_solo_composite, xi_solo_composite)               \
    X(weights_concentration, weights_concentration)       \
    X(y_solo, y_solo)                                     \
    X(ysolo_sigma, ysolo_sigma)                           \
    X(ysolo_skewness, ysolo_skewness)                     \
    X(ysolo_kurtosis, ysolo_kurtosis)                     \
    X(ysolo_pearson_modality_index, ysolo_pearson_modality_index) \
    X(ysolo_bimodal_index, ysolo_bimodal_index)

#define X(suffix, accessor)                                                                                   \
    extern "C" QEL_API int32_t qel_results_copy_##suffix(const QelPredictionResults* results, double* out,   \
                                                         size_t out_len) {                                   \
        return copy_opt_1d(results, out, out_len, #accessor, &toolbox::qel::results::accessor);               \
    }
QEL_OPTIONAL_VECTORS(X)
#undef X

// --- auxiliary vectors: (export suffix, field, name) ----------------------
#define QEL_AUXILIARY_VECTORS(X)                  \
    X(aux_phi, phi, "phi")                        \
    X(aux_lambda_sq, lambda_sq, "lambda_sq")      \
    X(aux_full_var, full_var, "full_var")         \
    X(aux_part_var, part_var, "part_var")         \
    X(aux_r_star, r_star, "r_star")               \
    X(aux_r_star_percent, r_star_percent, "r_star_percent") \
    X(aux_n, n, "aux.n")                          \
    X(aux_k, k, "aux.k")                          \
    X(aux_rho, rho, "rho")

#define X(suffix, field, name)                                                                                \
    extern "C" QEL_API int32_t qel_results_copy_##suffix(const QelPredictionResults* results, double* out,   \
                                                         size_t out_len) {                                   \
        return copy_auxiliary(results, out, out_len, name, &PredictionAuxiliaryInfo::field);                  \
    }
QEL_AUXILIARY_VECTORS(X)
#undef X

// --- histogram vectors: (field, also the name) ----------------------------
#define QEL_HISTOGRAM_VECTORS(X) X(bin_edges) X(bin_centers) X(bin_widths)

#define X(field)                                                                                              \
    extern "C" QEL_API int32_t qel_results_copy_ysolo_##field(const QelPredictionResults* results, double* out, \
                                                              size_t out_len) {                              \
        return copy_histogram(results, out, out_len, #field, &YSoloDistributionSummary::field);               \
    }
QEL_HISTOGRAM_VECTORS(X)
#undef X

// --- matrices: (export suffix, part) --------------------------------------
#define QEL_MATRICES(X)                      \
    X(weights, weights_part)                 \
    X(weights_excluded, weights_excluded_part) \
    X(xi_solo, xi_solo_part)                 \
    X(ysolo_bin_counts, ysolo_bin_counts_part) \
    X(combi_cells, combi_cells_part)         \
    X(k_cells, k_cells_part)                 \
    X(ysolo_cells, ysolo_cells_part)

#define X(suffix, part)                                                                                       \
    extern "C" QEL_API int32_t qel_results_copy_##suffix(const QelPredictionResults* results, double* out,   \
                                                         size_t out_len, int32_t layout) {                   \
        return copy_matrix(results, out, out_len, layout, part());                                            \
    }
QEL_MATRICES(X)
#undef X

// --- censor matrices and 3-D arrays: (field, also the name; key) ----------
#define QEL_CENSOR_MATRICES(X) X(yhat_cells, YHAT_CELLS) X(adjusted_fit_cells, ADJUSTED_FIT_CELLS) X(n_cells, N_CELLS)

#define X(field, key)                                                                                         \
    extern "C" QEL_API int32_t qel_results_copy_##field(const QelPredictionResults* results, int32_t censor, \
                                                        double* out, size_t out_len, int32_t layout) {       \
        return copy_censor_matrix(results, censor, out, out_len, layout, key, #field);                        \
    }
QEL_CENSOR_MATRICES(X)
#undef X

#define QEL_CENSOR_ARRAYS(X) X(weights_cells, WEIGHTS_CELLS) X(xi_solo_cells, XI_SOLO_CELLS)

#define X(field, key)                                                                                         \
    extern "C" QEL_API int32_t qel_results_copy_##field(const QelPredictionResults* results, int32_t censor, \
                                                        double* out, size_t out_len) {                       \
        return copy_censor_array3(results, censor, out, out_len, key, #field);                                \
    }
QEL_CENSOR_ARRAYS(X)
#undef X

// --- include mask ----------------------------------------------------------
extern "C" QEL_API int32_t qel_results_copy_include(const QelPredictionResults* results, uint8_t* out,
                                                    size_t out_len, int32_t layout) {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    if (out == nullptr) return fail(QEL_STATUS_NULL_POINTER, "include out is null");
    const auto& include = (*held)->include;
    if (!include) return fail(QEL_STATUS_INVALID_VALUE, "include not available");
    const std::size_t need = saturating_mul(include->rows(), include->cols());
    if (out_len < need) return fail(QEL_STATUS_SIZE_MISMATCH, "include: need {}, got {}", need, out_len);
    return write_layout(include->view(), out, layout);
}

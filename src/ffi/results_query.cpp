// Results presence tests, dimension queries, counts and release.
//
// Presence tests and counts answer through their value (0 for a NULL handle,
// or one that is not a live results handle) and do not clear the last error;
// where they find a NULL handle, a freed one, or a per-censor array missing,
// they leave the reason as the last error so a host that sees 0 can ask why.
// Dimension queries return a status and clear the last error first, like the
// copies.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "ffi/error.hpp"
#include "ffi/results.hpp"
#include "ffi/results_detail.hpp"
#include "qelcore.h"

using namespace ffi::results_detail;
using ffi::error::clear_last_error;

namespace {

// Presence of a part that needs no censor code.
template <class Test>
int32_t has_part(const QelPredictionResults* results, Test test) noexcept {
    const auto held = open(results);
    return held && test(**held) ? 1 : 0;
}

template <class Key>
int32_t has_cell(const QelPredictionResults* results, int32_t censor, const Key& key) noexcept {
    const auto held = open(results);
    if (!held) return 0;
    if constexpr (std::is_same_v<Key, CellKey2>) {
        return cell2(**held, censor, key) ? 1 : 0;
    } else {
        return cell3(**held, censor, key) ? 1 : 0;
    }
}

// A count or a presence: 0 for a handle that cannot be read, leaving the
// reason (none for NULL when `null_silent`).
template <class Read>
auto value_of(const QelPredictionResults* results, bool null_silent, Read read) noexcept {
    using Value = decltype(read(std::declval<const PredictionResults&>()));
    if (results == nullptr && null_silent) return Value{0};
    const auto held = open(results);
    return held ? read(**held) : Value{0};
}

// Rows and columns of a matrix part, or status 3 when it is absent.
struct Extents {
    std::size_t rows = 0, cols = 0;
};

template <class Find>
int32_t dims2(const QelPredictionResults* results, size_t* d0, size_t* d1, std::string_view absent,
              Find find) noexcept {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    if (d0 == nullptr || d1 == nullptr) return fail(QEL_STATUS_NULL_POINTER, "dims out pointers are null");
    const std::optional<Extents> e = find(**held);
    if (!e) return fail(QEL_STATUS_INVALID_VALUE, absent);
    *d0 = e->rows;
    *d1 = e->cols;
    return QEL_STATUS_OK;
}

int32_t matrix_dims(const QelPredictionResults* results, size_t* d0, size_t* d1, const MatrixPart& part) noexcept {
    return dims2(results, d0, d1, part.absent, [&](const PredictionResults& r) noexcept -> std::optional<Extents> {
        const Matrix* m = part.find(r);
        if (m == nullptr) return std::nullopt;
        return Extents{m->rows(), m->cols()};
    });
}

int32_t cell2_dims(const QelPredictionResults* results, int32_t censor, size_t* d0, size_t* d1,
                   const CellKey2& key) noexcept {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    if (d0 == nullptr || d1 == nullptr) return fail(QEL_STATUS_NULL_POINTER, "dims out pointers are null");
    const auto m = cell2(**held, censor, key);
    if (!m) return m.error();
    *d0 = (*m)->rows();
    *d1 = (*m)->cols();
    return QEL_STATUS_OK;
}

int32_t cell3_dims(const QelPredictionResults* results, int32_t censor, size_t* d0, size_t* d1, size_t* d2,
                   const CellKey3& key) noexcept {
    clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    if (d0 == nullptr || d1 == nullptr || d2 == nullptr) {
        return fail(QEL_STATUS_NULL_POINTER, "dims out pointers are null");
    }
    const auto a = cell3(**held, censor, key);
    if (!a) return a.error();
    *d0 = (*a)->dim0();
    *d1 = (*a)->dim1();
    *d2 = (*a)->dim2();
    return QEL_STATUS_OK;
}

bool solo_has(const PredictionResults& r, auto field) noexcept {
    return r.solo_distribution && (*r.solo_distribution.*field).has_value();
}

}  // namespace

using toolbox::qel::results::SoloDistribution;

// --- presence tests: (export suffix, test of the results object) ---------
#define QEL_PRESENCE_TESTS(X)                                                  \
    X(auxiliary, r.auxiliary.has_value())                                      \
    X(include, r.include.has_value())                                          \
    X(weights, r.weights.has_value())                                          \
    X(weights_excluded, r.weights_excluded.has_value())                        \
    X(maxfit_index, r.maxfit_index.has_value())                                \
    X(grid_insights, r.grid_insights.has_value())                              \
    X(y_solo, solo_has(r, &SoloDistribution::y_solo))                          \
    X(xi_solo, solo_has(r, &SoloDistribution::xi_solo))                        \
    X(ysolo_distribution, solo_has(r, &SoloDistribution::ysolo_distribution))  \
    X(grid_cells, r.grid_cells.has_value())                                    \
    X(ysolo_cells, ysolo_cells_part().find(r) != nullptr)                 \
    X(k_cells, k_cells_part().find(r) != nullptr)                         \
    X(combi_cells, combi_cells_part().find(r) != nullptr)

#define X(suffix, test)                                                                        \
    extern "C" QEL_API int32_t qel_results_has_##suffix(const QelPredictionResults* results) { \
        return has_part(results, [](const PredictionResults& r) noexcept { return test; });   \
    }
QEL_PRESENCE_TESTS(X)
#undef X

// The linear-regression value alone reads a NULL handle as absent silently.
extern "C" QEL_API int32_t qel_results_has_yhat_linear(const QelPredictionResults* results) {
    return value_of(results, true,
                    [](const PredictionResults& r) noexcept -> int32_t { return r.core.yhat_linear ? 1 : 0; });
}

// --- per-censor presence tests and dimension queries: (suffix, key) ------
#define QEL_CENSOR_MATRIX_PARTS(X) X(yhat_cells, YHAT_CELLS) X(adjusted_fit_cells, ADJUSTED_FIT_CELLS) X(n_cells, N_CELLS)
#define QEL_CENSOR_ARRAY_PARTS(X) X(weights_cells, WEIGHTS_CELLS) X(xi_solo_cells, XI_SOLO_CELLS)

#define X(suffix, key)                                                                                        \
    extern "C" QEL_API int32_t qel_results_has_##suffix(const QelPredictionResults* results, int32_t censor) { \
        return has_cell(results, censor, key);                                                                \
    }                                                                                                         \
    extern "C" QEL_API int32_t qel_results_##suffix##_dims(const QelPredictionResults* results, int32_t censor, \
                                                           size_t* d0, size_t* d1) {                          \
        return cell2_dims(results, censor, d0, d1, key);                                                      \
    }
QEL_CENSOR_MATRIX_PARTS(X)
#undef X

#define X(suffix, key)                                                                                        \
    extern "C" QEL_API int32_t qel_results_has_##suffix(const QelPredictionResults* results, int32_t censor) { \
        return has_cell(results, censor, key);                                                                \
    }                                                                                                         \
    extern "C" QEL_API int32_t qel_results_##suffix##_dims(const QelPredictionResults* results, int32_t censor, \
                                                           size_t* d0, size_t* d1, size_t* d2) {              \
        return cell3_dims(results, censor, d0, d1, d2, key);                                                  \
    }
QEL_CENSOR_ARRAY_PARTS(X)
#undef X

// --- dimension queries of the other matrices: (export prefix, part) ------
#define QEL_MATRIX_DIMS(X)                        \
    X(weights, weights_part)                      \
    X(weights_excluded, weights_excluded_part)    \
    X(xi_solo, xi_solo_part)                      \
    X(ysolo_cells, ysolo_cells_part)              \
    X(k_cells, k_cells_part)                      \
    X(combi_cells, combi_cells_part)              \
    X(ysolo_distribution, ysolo_bin_counts_part)

#define X(prefix, part)                                                                                       \
    extern "C" QEL_API int32_t qel_results_##prefix##_dims(const QelPredictionResults* results, size_t* d0,  \
                                                           size_t* d1) {                                      \
        return matrix_dims(results, d0, d1, part());                                                          \
    }
QEL_MATRIX_DIMS(X)
#undef X

extern "C" QEL_API int32_t qel_results_include_dims(const QelPredictionResults* results, size_t* d0, size_t* d1) {
    return dims2(results, d0, d1, "include not available",
                 [](const PredictionResults& r) noexcept -> std::optional<Extents> {
                     if (!r.include) return std::nullopt;
                     return Extents{r.include->rows(), r.include->cols()};
                 });
}

// --- counts ----------------------------------------------------------------
extern "C" QEL_API size_t qel_results_num_observations(const QelPredictionResults* results) {
    return value_of(results, true, [](const PredictionResults& r) noexcept { return r.num_observations; });
}

extern "C" QEL_API size_t qel_results_num_variables(const QelPredictionResults* results) {
    return value_of(results, true, [](const PredictionResults& r) noexcept { return r.num_variables; });
}

extern "C" QEL_API size_t qel_results_num_thresholds(const QelPredictionResults* results) {
    return value_of(results, true, [](const PredictionResults& r) noexcept { return r.num_thresholds; });
}

extern "C" QEL_API size_t qel_results_num_combinations(const QelPredictionResults* results) {
    return value_of(results, false, [](const PredictionResults& r) noexcept -> size_t {
        const auto& cells = r.grid_cells;
        if (!cells) return 0;
        // Whichever grid array was retained tells the count.
        if (const Matrix* k = k_cells_part().find(r)) return k->rows();
        if (const Matrix* combi = combi_cells_part().find(r)) return combi->rows();
        if (const Matrix* ysolo = ysolo_cells_part().find(r)) return ysolo->cols();
        if (cells->relevance && cells->relevance->yhat_cells) return cells->relevance->yhat_cells->rows();
        if (cells->similarity && cells->similarity->yhat_cells) return cells->similarity->yhat_cells->rows();
        return 0;
    });
}

extern "C" QEL_API size_t qel_results_maxfit_index_len(const QelPredictionResults* results) {
    return value_of(results, false, [](const PredictionResults& r) noexcept -> size_t {
        return r.maxfit_index ? r.maxfit_index->size() : 0;
    });
}

// --- release ---------------------------------------------------------------
// A handle freed already, or of another kind, is left alone.
extern "C" QEL_API void qel_prediction_results_free(QelPredictionResults* results) {
    ffi::handle::release(results, ffi::handle::HandleKind::Results);
}

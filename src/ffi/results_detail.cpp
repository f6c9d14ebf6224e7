#include "ffi/results_detail.hpp"

#include <algorithm>

#include "ffi/results.hpp"

namespace ffi::results_detail {

std::expected<const PredictionResults*, std::int32_t> open(const QelPredictionResults* results) noexcept {
    if (results == nullptr) return std::unexpected(fail(QEL_STATUS_NULL_POINTER, RESULTS_NULL));
    if (!results::is_results(results)) return std::unexpected(fail(QEL_STATUS_INVALID_VALUE, RESULTS_FOREIGN));
    return &results->inner;
}

std::int32_t copy_opt_1d(const QelPredictionResults* results, double* out, std::size_t out_len, std::string_view name,
                         Accessor accessor) noexcept {
    error::clear_last_error();
    const auto held = open(results);
    if (!held) return held.error();
    const Vector* v = accessor(**held);
    if (v == nullptr) return fail(QEL_STATUS_INVALID_VALUE, "{} not available on these results", name);
    if (out == nullptr) return fail(QEL_STATUS_NULL_POINTER, "{} out is null", name);
    if (out_len < v->size()) return fail(QEL_STATUS_SIZE_MISMATCH, "{}: need {}, got {}", name, v->size(), out_len);
    std::copy_n(v->data(), v->size(), out);
    return QEL_STATUS_OK;
}

std::int32_t write_array2(toolbox::matrix::MatView m, double* out, std::size_t out_len, std::int32_t layout,
                          std::string_view name) noexcept {
    if (out == nullptr) return fail(QEL_STATUS_NULL_POINTER, "{} out is null", name);
    const std::size_t need = saturating_mul(m.rows(), m.cols());
    if (out_len < need) {
        return fail(QEL_STATUS_SIZE_MISMATCH, "{}: need {} (= {}\u00d7{}), got {}", name, need, m.rows(), m.cols(),
                    out_len);
    }
    return write_layout(m, out, layout);
}

std::int32_t write_array3_c(const Array3d& a, double* out, std::size_t out_len, std::string_view name) noexcept {
    if (out == nullptr) return fail(QEL_STATUS_NULL_POINTER, "{} out is null", name);
    const std::size_t need = saturating_mul(saturating_mul(a.dim0(), a.dim1()), a.dim2());
    if (out_len < need) {
        return fail(QEL_STATUS_SIZE_MISMATCH, "{}: need {} (= {}\u00d7{}\u00d7{}), got {}", name, need, a.dim0(),
                    a.dim1(), a.dim2(), out_len);
    }
    // The array is held in C order already.
    std::copy_n(a.data(), need, out);
    return QEL_STATUS_OK;
}

namespace {

// The censor's cells, or status 3 with its message.
template <class T>
std::expected<const T*, std::int32_t> find_cell(const PredictionResults& results, std::int32_t censor,
                                                std::string_view key,
                                                std::optional<T> CensorGridCells::*field) noexcept {
    if (censor != 0 && censor != 1) return std::unexpected(fail(QEL_STATUS_INVALID_VALUE, "invalid grid censor code"));
    const CensorGridCells* cells = nullptr;
    if (results.grid_cells) {
        const auto& part = censor == 0 ? results.grid_cells->relevance : results.grid_cells->similarity;
        if (part) cells = &*part;
    }
    if (cells == nullptr || !(cells->*field)) {
        return std::unexpected(fail(QEL_STATUS_INVALID_VALUE, "{}_cells not available for censor={}", key, censor));
    }
    return &*(cells->*field);
}

const Matrix* get(const std::optional<Matrix>& m) noexcept { return m ? &*m : nullptr; }

const Matrix* get_shared(const PredictionResults& r,
                         std::optional<toolbox::qel::results::SharedMatrix> toolbox::qel::results::GridCellsData::*field) noexcept {
    if (!r.grid_cells) return nullptr;
    const auto& m = *r.grid_cells.*field;
    return m && *m ? m->get() : nullptr;
}

}  // namespace

std::expected<const Matrix*, std::int32_t> cell2(const PredictionResults& results, std::int32_t censor,
                                                 const CellKey2& key) noexcept {
    return find_cell(results, censor, key.key, key.field);
}

std::expected<const Array3d*, std::int32_t> cell3(const PredictionResults& results, std::int32_t censor,
                                                  const CellKey3& key) noexcept {
    return find_cell(results, censor, key.key, key.field);
}

const MatrixPart& weights_part() noexcept {
    static constexpr MatrixPart part{"weights", "weights not available",
                                     [](const PredictionResults& r) noexcept { return get(r.weights); }};
    return part;
}

const MatrixPart& weights_excluded_part() noexcept {
    static constexpr MatrixPart part{"weights_excluded", "weights_excluded not available",
                                     [](const PredictionResults& r) noexcept { return get(r.weights_excluded); }};
    return part;
}

const MatrixPart& xi_solo_part() noexcept {
    static constexpr MatrixPart part{"xi_solo", "xi_solo not available", [](const PredictionResults& r) noexcept {
                                         return r.solo_distribution ? get(r.solo_distribution->xi_solo) : nullptr;
                                     }};
    return part;
}

const MatrixPart& ysolo_bin_counts_part() noexcept {
    static constexpr MatrixPart part{
        "ysolo bin counts", "ysolo_distribution not available", [](const PredictionResults& r) noexcept {
            return r.solo_distribution && r.solo_distribution->ysolo_distribution
                       ? &r.solo_distribution->ysolo_distribution->bin_counts
                       : nullptr;
        }};
    return part;
}

const MatrixPart& combi_cells_part() noexcept {
    static constexpr MatrixPart part{"combi_cells", "combi_cells not available", [](const PredictionResults& r) noexcept {
                                         return get_shared(r, &toolbox::qel::results::GridCellsData::combi_cells);
                                     }};
    return part;
}

const MatrixPart& k_cells_part() noexcept {
    static constexpr MatrixPart part{"k_cells", "k_cells not available", [](const PredictionResults& r) noexcept {
                                         return get_shared(r, &toolbox::qel::results::GridCellsData::k_cells);
                                     }};
    return part;
}

const MatrixPart& ysolo_cells_part() noexcept {
    static constexpr MatrixPart part{"ysolo_cells", "ysolo_cells not available", [](const PredictionResults& r) noexcept {
                                         return get_shared(r, &toolbox::qel::results::GridCellsData::ysolo_cells);
                                     }};
    return part;
}

}  // namespace ffi::results_detail

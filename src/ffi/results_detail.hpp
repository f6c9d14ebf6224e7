// Routines shared by the results copies, presence tests and dimension queries.
//
// Every routine here is noexcept: a message that cannot be formatted for lack
// of memory is replaced by a fixed one, so the exports need no guard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <string_view>

#include "ffi/error.hpp"
#include "qelcore.h"
#include "toolbox/format.hpp"
#include "toolbox/qel/results/base.hpp"

namespace ffi::results_detail {

using toolbox::qel::results::CensorGridCells;
using toolbox::qel::results::PredictionResults;
using toolbox::matrix::Array3d;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

inline constexpr std::string_view RESULTS_NULL = "results is null";
inline constexpr std::string_view RESULTS_FOREIGN = "results is not a results handle";

// Stores the formatted message as the thread's last error; returns `status`.
template <class... Args>
std::int32_t fail(std::int32_t status, std::string_view pattern, const Args&... args) noexcept {
    try {
        error::set_last_error(toolbox::format(pattern, args...));
    } catch (...) {
        error::set_last_error("out of memory (an allocation failed)");
    }
    return status;
}

// The results object behind a handle, or the status of a handle that cannot
// be read, with its message stored: NULL (1), or not a live results handle
// (3: a handle of another kind, or one already freed while its memory has
// not been reused).
std::expected<const PredictionResults*, std::int32_t> open(const QelPredictionResults* results) noexcept;

// a * b, or the largest size_t when the product does not fit.
inline std::size_t saturating_mul(std::size_t a, std::size_t b) noexcept {
    std::size_t n = 0;
    return __builtin_mul_overflow(a, b, &n) ? std::numeric_limits<std::size_t>::max() : n;
}

// Reads one of the optional vectors of a results object; nullptr when absent.
using Accessor = const Vector* (*)(const PredictionResults&);

// The optional-vector copies: results NULL (1), vector absent (3), out NULL
// (1), buffer short (2), then copy. Clears the last error first.
std::int32_t copy_opt_1d(const QelPredictionResults* results, double* out, std::size_t out_len, std::string_view name,
                         Accessor accessor) noexcept;

// Writes `m` into the caller's buffer in the given layout: out NULL (1),
// buffer short (2), bad layout code (3, also for an empty matrix). Sets the
// last error on failure only.
std::int32_t write_array2(toolbox::matrix::MatView m, double* out, std::size_t out_len, std::int32_t layout,
                          std::string_view name) noexcept;

// The layout step of write_array2 alone, for element types other than double
// (the include mask writes bytes): bad layout code (3), else the copy.
template <class T, class Out>
std::int32_t write_layout(toolbox::matrix::MatrixView<const T> m, Out* out, std::int32_t layout) noexcept {
    const std::size_t rows = m.rows(), cols = m.cols();
    if (layout == QEL_LAYOUT_ROW_MAJOR) {
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j) out[i * cols + j] = static_cast<Out>(m(i, j));
        return QEL_STATUS_OK;
    }
    if (layout == QEL_LAYOUT_COL_MAJOR) {
        for (std::size_t j = 0; j < cols; ++j)
            for (std::size_t i = 0; i < rows; ++i) out[j * rows + i] = static_cast<Out>(m(i, j));
        return QEL_STATUS_OK;
    }
    return fail(QEL_STATUS_INVALID_VALUE, "invalid QelLayout value: {} (use 0=row-major, 1=col-major)", layout);
}

// Writes `a` in C order (last index fastest): out NULL (1), buffer short (2).
// Sets the last error on failure only.
std::int32_t write_array3_c(const Array3d& a, double* out, std::size_t out_len, std::string_view name) noexcept;

// A per-censor grid array, named in messages by its short key.
struct CellKey2 {
    std::string_view key;
    std::optional<Matrix> CensorGridCells::*field;
};
struct CellKey3 {
    std::string_view key;
    std::optional<Array3d> CensorGridCells::*field;
};

inline constexpr CellKey2 YHAT_CELLS{"yhat", &CensorGridCells::yhat_cells};
inline constexpr CellKey2 ADJUSTED_FIT_CELLS{"adj", &CensorGridCells::adjusted_fit_cells};
inline constexpr CellKey2 N_CELLS{"n", &CensorGridCells::n_cells};
inline constexpr CellKey3 WEIGHTS_CELLS{"weights", &CensorGridCells::weights_cells};
inline constexpr CellKey3 XI_SOLO_CELLS{"xi", &CensorGridCells::xi_solo_cells};

// The C x T matrix of censor 0 (relevance) or 1 (similarity), or status 3:
// an invalid censor code, or the grid cells, the censor's cells or the matrix
// absent. Sets the last error on failure only.
std::expected<const Matrix*, std::int32_t> cell2(const PredictionResults& results, std::int32_t censor,
                                                 const CellKey2& key) noexcept;
// The same for the N x T x C arrays.
std::expected<const Array3d*, std::int32_t> cell3(const PredictionResults& results, std::int32_t censor,
                                                  const CellKey3& key) noexcept;

// A matrix part read by the matrix copies and the dimension queries alike:
// its name in messages, the message when absent, and where it lives.
struct MatrixPart {
    std::string_view name;
    std::string_view absent;
    const Matrix* (*find)(const PredictionResults&) noexcept;
};

const MatrixPart& weights_part() noexcept;
const MatrixPart& weights_excluded_part() noexcept;
const MatrixPart& xi_solo_part() noexcept;
const MatrixPart& ysolo_bin_counts_part() noexcept;
const MatrixPart& combi_cells_part() noexcept;
const MatrixPart& k_cells_part() noexcept;
const MatrixPart& ysolo_cells_part() noexcept;

}  // namespace ffi::results_detail

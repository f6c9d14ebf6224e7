// What every cell of a grid run shares, built once before the first cell:
// the inputs, the combinations, the split of the attributes into columns with
// and without missing values, one covariance for the combinations that use
// no missing-valued column and a cache of listwise covariances for the sets of
// missing-valued columns in use; and the run's axes: its censor types and the
// list of its jobs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "toolbox/enums/enums.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/config/grid_options.hpp"

namespace toolbox::qel::models::grid::helpers {

using ByteRow = std::span<const std::uint8_t>;

// Listwise covariance and means over all complete columns plus one set of
// hole columns, scattered to full attribute size (0.0 where unused).
struct ListwiseParent {
    matrix::Matrix cov;  // K x K
    matrix::Vector mean; // K
    std::size_t n_complete = 0;
};

// Keyed by hole mask: bit i stands for missing_columns[i].
using ListwiseParents = std::unordered_map<std::uint64_t, ListwiseParent>;

struct GridPredictionSetup {
    std::vector<std::uint64_t> missing_columns;
    std::vector<std::uint64_t> complete_columns;
    std::vector<std::uint8_t> missing_flags;  // K
    matrix::Vector y;                         // N
    matrix::Matrix x;                         // N x K
    matrix::Matrix theta;                     // 1 x K
    matrix::ByteMatrix combos;                // C x K
    matrix::Matrix full_cov;                  // K x K
    ListwiseParents listwise_parents;
    std::uint64_t n_observations = 0;
    std::uint64_t n_attributes = 0;
    std::uint64_t n_combinations = 0;
    bool has_missing = false;
};

// The covariance source of one combination, borrowed from the setup.
struct GridCovRef {
    const matrix::Matrix* full = nullptr;     // set for the full covariance
    const ListwiseParent* parent = nullptr;   // set for a cached parent

    bool is_full() const noexcept { return parent == nullptr; }
    const matrix::Matrix& cov() const noexcept { return parent ? parent->cov : *full; }
};

Result<GridPredictionSetup> prepare_grid_prediction_setup(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                          const config::GridOptions& options);

// The attributes at `columns`, every row. (Column indices are 64-bit words,
// the same type as size_t here.)
matrix::Matrix select_columns(matrix::MatView x, std::span<const std::size_t> columns);

ListwiseParent listwise_parent_for_mask(std::uint64_t mask, matrix::MatView x,
                                        std::span<const std::uint64_t> missing_columns,
                                        std::span<const std::uint64_t> complete_columns, std::size_t k);

// Fills the cache for every distinct non-zero mask; on the worker pool when
// `parallel` and there are at least two masks.
ListwiseParents build_listwise_cov_parents(const std::unordered_set<std::uint64_t>& masks, matrix::MatView x,
                                           std::span<const std::uint64_t> missing_columns,
                                           std::span<const std::uint64_t> complete_columns, std::size_t k,
                                           bool parallel);

std::uint64_t hole_mask(ByteRow row, std::span<const std::uint64_t> missing_columns);

Result<GridCovRef> combination_cov_parent(bool touches_hole, ByteRow row,
                                          std::span<const std::uint64_t> missing_columns,
                                          const matrix::Matrix& full_cov, const ListwiseParents& parents);

struct CombinationMean {
    matrix::Vector mean;  // m
};

// The plain means of the columns of x: each column's sum over the rows in
// order, divided by N (a NaN spreads to its column's mean).
matrix::Vector plain_column_means(matrix::MatView x);

// `column_means`, when given, holds plain_column_means of the whole X, whose
// entries at `columns` are then the full covariance's means of x_c (each
// column summed over the same rows in the same order).
CombinationMean combination_mean(const GridCovRef& source, matrix::MatView x_c,
                                 std::span<const std::size_t> columns,
                                 const matrix::Vector* column_means = nullptr);

// The censor axis: relevance then similarity for both, else the one type.
std::vector<enums::CensorType> censor_list(enums::CensorType type);

struct ComboSelection {
    std::vector<std::size_t> columns;  // ascending, entries != 0
    ByteRow row;                       // K
    bool touches_hole = false;
};

// Columns that row j uses, the row, and whether it reaches a hole column.
// A j beyond the combinations is an internal fault.
ComboSelection combo_selection(const GridPredictionSetup& setup, std::size_t j);

// Noise twins: entry c holds the twin of hole column c.
using NoiseTwins = std::vector<std::optional<matrix::Vector>>;

// One job of a run: the cells of a combination, or the noise-twin run of a
// combination with one of its columns replaced by its twin.
struct GridParJob {
    struct Combination {
        std::size_t j;
    };
    struct NoiseTwin {
        std::size_t j;
        std::size_t k;
    };
    std::variant<Combination, NoiseTwin> kind;
};

// The jobs of a run in the order both modes take them: each combination,
// followed by its twin jobs (columns in ascending order) when there are twins.
std::vector<GridParJob> grid_job_list(const GridPredictionSetup& setup, const std::optional<NoiseTwins>& twins);

}  // namespace toolbox::qel::models::grid::helpers

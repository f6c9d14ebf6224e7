// The pieces every grid run shares: the setup (inputs, combinations, the
// covariances of every set of missing-valued columns in use), the composite
// accumulator with its finalisation, the retained per-cell details, and the
// cell itself: one combination under every censor type of the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "toolbox/enums/enums.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/insights/weights/psr_weights.hpp"
#include "toolbox/qel/results/base.hpp"

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
    matrix::Vector mean;                      // m
    std::optional<std::size_t> complete_rows; // absent for the full covariance
};

CombinationMean combination_mean(const GridCovRef& source, matrix::MatView x_c,
                                 std::span<const std::size_t> columns);

// Running sums of the adjusted-fit pooling of the cells of a run.
struct GridCompositeAccumulator {
    matrix::Vector include_weight_sum;  // N
    matrix::Vector exclude_weight_sum;  // N
    matrix::Vector variable_fit_sum;    // K
    matrix::Vector in_fit_sum;          // K
    matrix::Vector out_fit_sum;         // K
    matrix::Vector in_yhat_sum;         // K
    matrix::Vector out_yhat_sum;        // K
    matrix::Vector out_yhat_fit_sum;    // K
    matrix::Vector out_fit_total;       // K
    matrix::Vector xi_solo_sum;         // N
    matrix::Vector valid_count;         // N
    matrix::Vector twin_fit_sum;        // K
    matrix::Vector twin_yhat_sum;       // K
    std::vector<std::uint32_t> twin_count;  // K
    double size_fit_total = 0.0;
    double n_fit_total = 0.0;
    double yhat_fit_total = 0.0;
    double adjusted_fit_total_sum = 0.0;
    double fit_square_total = 0.0;
    double second_moment_total = 0.0;
    bool has_solo_statistics = false;

    static GridCompositeAccumulator create(std::size_t n_observations, std::size_t n_attributes);
    // Adds `right` into this one, element by element.
    void merge(const GridCompositeAccumulator& right);
};

void accumulate_grid_composite_stats(GridCompositeAccumulator& acc, matrix::VecView yhat,
                                     const results::PredictionResults& cell, ByteRow row,
                                     const results::SoloDistributionStatistics* solo,
                                     const insights::weights::psr_weights::CellAdjFitWeights* cell_weights);

// Allocates the retained-cell matrices that the option asks for, all 0.0.
results::GridCellsData initialize_grid_cell_storage(std::span<const enums::CensorType> censors, std::size_t c,
                                                    std::size_t t, std::size_t k, std::size_t n,
                                                    const enums::RetainGridObjects& retain);

void store_grid_cell_details(results::GridCellsData& cells, std::string_view censor, std::size_t j,
                             matrix::VecView yhat, const results::PredictionResults& cell, ByteRow row);

std::optional<std::pair<matrix::Vector, matrix::Vector>> pool_ysolo_cell_samples(const results::GridCellsData& cells);

Result<std::optional<results::YSoloDistributionSummary>> build_ysolo_distribution_from_grid_cells(
    const results::GridCellsData& cells);

Result<void> calculate_composite_results(const GridCompositeAccumulator& acc, const matrix::ByteMatrix& combos,
                                         matrix::VecView y, results::PredictionResults& results, bool has_missing,
                                         std::size_t t, std::size_t p);

Result<void> finalize_grid_results(const GridCompositeAccumulator& acc, const matrix::ByteMatrix& combos,
                                   matrix::VecView y, matrix::MatView x, results::PredictionResults& results,
                                   bool has_missing, std::size_t t, std::size_t p,
                                   const config::GridOptions& options);

// Noise twins: entry c holds the twin of hole column c.
using NoiseTwins = std::vector<std::optional<matrix::Vector>>;

// What every cell of one run reads.
struct GridRunContext {
    const GridPredictionSetup& setup;
    const config::GridOptions& options;
    std::vector<enums::CensorType> censors;
    std::size_t t = 0;
    std::optional<NoiseTwins> twins;
};

// The censor axis: relevance then similarity for both, else the one type.
std::vector<enums::CensorType> censor_list(enums::CensorType type);

struct ComboSelection {
    std::vector<std::size_t> columns;  // ascending, entries != 0
    ByteRow row;                       // K
    bool touches_hole = false;
};

// Receives a finished cell pass for the retained-cell storage.
using CellSink = std::function<Result<void>(std::string_view censor, std::size_t j, matrix::VecView yhat,
                                            const results::PredictionResults& cell, ByteRow row)>;

// The cells of combination j under every censor type, added to `acc`;
// `wrap_errors` words the errors as the parallel run reports them.
Result<void> run_combination_cell(const GridRunContext& ctx, const ComboSelection& sel, std::size_t j,
                                  GridCompositeAccumulator& acc, const CellSink* sink, bool wrap_errors);

// The prelude shared by both modes and the end of a run.
struct GridRunStart {
    GridPredictionSetup setup;
    std::size_t t = 0;
    std::optional<results::GridCellsData> storage;
    std::optional<NoiseTwins> twins;
};
Result<GridRunStart> grid_run_prelude(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                      const config::GridOptions& options);

Result<results::PredictionResults> finish_grid_run(const GridRunContext& ctx, const GridCompositeAccumulator& acc,
                                                   std::optional<results::GridCellsData> storage,
                                                   matrix::VecView y, matrix::MatView x, matrix::VecView theta);

}  // namespace toolbox::qel::models::grid::helpers

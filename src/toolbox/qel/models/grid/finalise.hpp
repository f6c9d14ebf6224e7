// The end of a grid run's pooling: the accumulator's sums turned into the
// composite result, the histogram of the retained cells' pooled solo
// predictions, the logistic scale, and the per-cell solo details dropped
// unless the caller keeps them.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/models/grid/accumulator.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::grid::helpers {

// The (sample, weight) pairs of the retained solo cells whose weight reaches
// 0.0001, relevance cells first; none without solo cells or pairs.
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

}  // namespace toolbox::qel::models::grid::helpers

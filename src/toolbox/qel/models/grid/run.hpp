// The frame both modes of a grid run share: the prelude before the first
// job, one job of either kind, and the end after the last.
#pragma once

#include <cstddef>
#include <optional>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/models/grid/accumulator.hpp"
#include "toolbox/qel/models/grid/cell.hpp"
#include "toolbox/qel/models/grid/setup.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::grid::helpers {

// What the prelude leaves for the run.
struct GridRunStart {
    GridPredictionSetup setup;
    std::size_t t = 0;
    std::optional<results::GridCellsData> storage;
    std::optional<NoiseTwins> twins;
    std::optional<insights::fit::OutcomeSpread> outcomes;
    matrix::Vector column_means;
};

// The setup, the number of thresholds, the retained-cell storage when the
// option keeps cells, the noise twins when the run has missing values and
// adjusts for them, and what every cell shares of y and X (the run context's
// `outcomes` and `column_means`).
Result<GridRunStart> grid_run_prelude(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                      const config::GridOptions& options);

// One job of the run added to `acc`: a combination's cells (their errors
// worded for the pool when `on_pool`) or a noise-twin run.
Result<void> run_grid_job(const GridRunContext& ctx, const GridParJob& job, GridCompositeAccumulator& acc,
                          const CellSink* sink, bool on_pool);

// The composite result from the pooled sums, with the retained cells and the
// linear-regression value on the caller's full data.
Result<results::PredictionResults> finish_grid_run(const GridRunContext& ctx, const GridCompositeAccumulator& acc,
                                                   std::optional<results::GridCellsData> storage,
                                                   matrix::VecView y, matrix::MatView x, matrix::VecView theta);

}  // namespace toolbox::qel::models::grid::helpers

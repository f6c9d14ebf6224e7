// The grid run on the worker pool: the job list folded in contiguous parts
// into their own accumulators and merged in list order.
#pragma once

#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/models/grid/accumulator.hpp"
#include "toolbox/qel/models/grid/cell.hpp"
#include "toolbox/qel/models/grid/setup.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::grid::parallel {

// The job list folded on the worker pool; the error of the first failing job
// in list order wins.
Result<helpers::GridCompositeAccumulator> parallel_fold_jobs(const helpers::GridRunContext& ctx,
                                                            const std::vector<helpers::GridParJob>& jobs,
                                                            const helpers::CellSink* sink);

Result<results::PredictionResults> predict_grid_parallel(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                         const config::GridOptions& options);

}  // namespace toolbox::qel::models::grid::parallel

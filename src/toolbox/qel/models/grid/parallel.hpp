// The grid run on the worker pool: one job per combination and per noise
// twin, folded in contiguous parts into their own accumulators and merged in
// list order.
#pragma once

#include <cstddef>
#include <variant>
#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/models/grid/helpers.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::grid::parallel {

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

// Columns that row j uses, the row, and whether it reaches a hole column.
// A j beyond the combinations is an internal fault.
helpers::ComboSelection combo_selection(const helpers::GridPredictionSetup& setup, std::size_t j);

// The job list: each combination, followed by its twin jobs when there are twins.
std::vector<GridParJob> grid_job_list(const helpers::GridPredictionSetup& setup,
                                      const std::optional<helpers::NoiseTwins>& twins);

// The job list folded on the worker pool; the error of the first failing job
// in list order wins.
Result<helpers::GridCompositeAccumulator> parallel_fold_jobs(const helpers::GridRunContext& ctx,
                                                            const std::vector<GridParJob>& jobs,
                                                            const helpers::CellSink* sink);

Result<results::PredictionResults> predict_grid_parallel(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                         const config::GridOptions& options);

}  // namespace toolbox::qel::models::grid::parallel

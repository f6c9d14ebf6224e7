#include "toolbox/qel/models/grid/sequential.hpp"

#include "toolbox/qel/models/grid/cells.hpp"
#include "toolbox/qel/models/grid/run.hpp"

namespace toolbox::qel::models::grid::sequential {

using namespace helpers;

Result<results::PredictionResults> predict_grid_sequential(matrix::VecView y, matrix::MatView x,
                                                           matrix::VecView theta, const config::GridOptions& options) {
    auto start = grid_run_prelude(y, x, theta, options);
    if (!start) return std::unexpected(std::move(start.error()));
    const GridPredictionSetup& setup = start->setup;
    const GridRunContext ctx{setup,           options, censor_list(options.predict.censor_type), start->t,
                             std::move(start->twins), start->outcomes, std::move(start->column_means)};
    GridCompositeAccumulator acc = GridCompositeAccumulator::create(setup.n_observations, setup.n_attributes);
    std::optional<results::GridCellsData>& storage = start->storage;
    const CellSink sink = [&](enums::CensorType censor, std::size_t j, matrix::VecView yhat,
                              const results::PredictionResults& cell, ByteRow row) {
        store_grid_cell_details(*storage, censor, j, yhat, cell, row);
    };
    for (const GridParJob& job : grid_job_list(setup, ctx.twins)) {
        if (auto r = run_grid_job(ctx, job, acc, storage ? &sink : nullptr, false); !r) {
            return std::unexpected(std::move(r.error()));
        }
    }
    return finish_grid_run(ctx, acc, std::move(storage), y, x, theta);
}

}  // namespace toolbox::qel::models::grid::sequential

#include "toolbox/qel/models/grid/parallel.hpp"

#include <algorithm>
#include <mutex>

#include "toolbox/parallel/pool.hpp"
#include "toolbox/qel/models/grid/cells.hpp"
#include "toolbox/qel/models/grid/run.hpp"

namespace toolbox::qel::models::grid::parallel {

using namespace helpers;

namespace {

using FoldState = Result<GridCompositeAccumulator>;

FoldState join_states(FoldState left, FoldState right) {
    if (!left) return left;
    if (!right) return right;
    left->merge(*right);
    return left;
}

}  // namespace

FoldState parallel_fold_jobs(const GridRunContext& ctx, const std::vector<GridParJob>& jobs, const CellSink* sink) {
    // Parts of a size fixed by the job count alone, so the pooled sums (and
    // their rounding) are the same on every run and every machine.
    const std::size_t grain = std::max<std::size_t>(1, (jobs.size() + 63) / 64);
    const std::size_t n = ctx.setup.n_observations, k = ctx.setup.n_attributes;
    return toolbox::parallel::parallel_fold(
        0, jobs.size(), grain, [n, k]() -> FoldState { return GridCompositeAccumulator::create(n, k); },
        [&](FoldState& state, std::size_t i) {
            // A part that already failed skips the rest of its jobs: the run
            // fails with the first error in list order.
            if (!state) return;
            if (auto r = run_grid_job(ctx, jobs[i], *state, sink, true); !r) state = std::unexpected(std::move(r.error()));
        },
        [](FoldState left, FoldState right) { return join_states(std::move(left), std::move(right)); });
}

Result<results::PredictionResults> predict_grid_parallel(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                         const config::GridOptions& options) {
    auto start = grid_run_prelude(y, x, theta, options);
    if (!start) return std::unexpected(std::move(start.error()));
    const GridPredictionSetup& setup = start->setup;
    const GridRunContext ctx{setup,           options, censor_list(options.predict.censor_type), start->t,
                             std::move(start->twins), start->outcomes, std::move(start->column_means)};
    const std::vector<GridParJob> jobs = grid_job_list(setup, ctx.twins);

    // Each cell writes only its own row, column or slice, so the order in
    // which workers store does not change the contents.
    std::mutex storage_mutex;
    std::optional<results::GridCellsData>& storage = start->storage;
    const CellSink sink = [&](enums::CensorType censor, std::size_t j, matrix::VecView yhat,
                              const results::PredictionResults& cell, ByteRow row) {
        const std::lock_guard lock(storage_mutex);
        store_grid_cell_details(*storage, censor, j, yhat, cell, row);
    };
    FoldState acc = parallel_fold_jobs(ctx, jobs, storage ? &sink : nullptr);
    if (!acc) return std::unexpected(std::move(acc.error()));
    return finish_grid_run(ctx, *acc, std::move(storage), y, x, theta);
}

}  // namespace toolbox::qel::models::grid::parallel

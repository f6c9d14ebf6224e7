#include "toolbox/qel/models/grid/parallel.hpp"

#include <algorithm>
#include <mutex>

#include "toolbox/parallel/pool.hpp"

#include "toolbox/qel/models/grid/missing_importance.hpp"

namespace toolbox::qel::models::grid::parallel {

using namespace helpers;

helpers::ComboSelection combo_selection(const GridPredictionSetup& setup, std::size_t j) {
    require(j < setup.combos.rows(), "grid combination index out of range");
    ComboSelection sel;
    sel.row = setup.combos.row(j);
    bool hole = false;
    for (std::size_t c = 0; c < sel.row.size(); ++c) {
        if (sel.row[c] == 0) continue;
        sel.columns.push_back(c);
        if (setup.missing_flags[c] != 0) hole = true;
    }
    sel.touches_hole = setup.has_missing && hole;
    return sel;
}

std::vector<GridParJob> grid_job_list(const GridPredictionSetup& setup, const std::optional<NoiseTwins>& twins) {
    std::vector<GridParJob> jobs;
    for (std::size_t j = 0; j < setup.n_combinations; ++j) {
        jobs.push_back({GridParJob::Combination{j}});
        if (!twins) continue;
        const auto row = setup.combos.row(j);
        for (std::size_t k = 0; k < row.size(); ++k) {
            if (row[k] != 0 && k < twins->size() && (*twins)[k]) jobs.push_back({GridParJob::NoiseTwin{j, k}});
        }
    }
    return jobs;
}

namespace {

using FoldState = Result<GridCompositeAccumulator>;

struct FoldInput {
    const GridRunContext& ctx;
    const std::vector<GridParJob>& jobs;
    const CellSink* sink;
};

// One job folded into a part's state: a part that already failed skips the
// rest of its jobs, since the run fails with the first error in list order.
void fold_job(const FoldInput& in, FoldState& state, std::size_t i) {
    if (!state) return;
    const GridPredictionSetup& setup = in.ctx.setup;
    Result<void> r;
    if (const auto* c = std::get_if<GridParJob::Combination>(&in.jobs[i].kind)) {
        const ComboSelection sel = combo_selection(setup, c->j);
        r = run_combination_cell(in.ctx, sel, c->j, *state, in.sink, true);
    } else {
        const auto& t = std::get<GridParJob::NoiseTwin>(in.jobs[i].kind);
        const ComboSelection sel = combo_selection(setup, t.j);
        r = missing_importance::accumulate_one_fused_noise_twin(
            *state, setup.y.view(), setup.x.view(), setup.theta.row(0), sel.row, sel.columns, setup.missing_columns,
            setup.complete_columns, *in.ctx.twins, in.ctx.censors, in.ctx.options, sel.touches_hole,
            in.ctx.censors.size() > 1, t.k);
    }
    if (!r) state = std::unexpected(std::move(r.error()));
}

FoldState join_states(FoldState left, FoldState right) {
    if (!left) return left;
    if (!right) return right;
    left->merge(*right);
    return left;
}

}  // namespace

FoldState parallel_fold_jobs(const GridRunContext& ctx, const std::vector<GridParJob>& jobs, const CellSink* sink) {
    const FoldInput in{ctx, jobs, sink};
    // Parts of a size fixed by the job count alone, so the pooled sums (and
    // their rounding) are the same on every run and every machine.
    const std::size_t grain = std::max<std::size_t>(1, (jobs.size() + 63) / 64);
    const std::size_t n = ctx.setup.n_observations, k = ctx.setup.n_attributes;
    return toolbox::parallel::parallel_fold(
        0, jobs.size(), grain, [n, k]() -> FoldState { return GridCompositeAccumulator::create(n, k); },
        [&in](FoldState& state, std::size_t i) { fold_job(in, state, i); },
        [](FoldState left, FoldState right) { return join_states(std::move(left), std::move(right)); });
}

Result<results::PredictionResults> predict_grid_parallel(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                         const config::GridOptions& options) {
    auto start = grid_run_prelude(y, x, theta, options);
    if (!start) return std::unexpected(std::move(start.error()));
    const GridPredictionSetup& setup = start->setup;
    const GridRunContext ctx{setup, options, censor_list(options.predict.censor_type), start->t,
                             std::move(start->twins)};
    const std::vector<GridParJob> jobs = grid_job_list(setup, ctx.twins);

    // Each cell writes only its own row, column or slice, so the order in
    // which workers store does not change the contents.
    std::mutex storage_mutex;
    std::optional<results::GridCellsData>& storage = start->storage;
    const CellSink sink = [&](std::string_view censor, std::size_t j, matrix::VecView yhat,
                              const results::PredictionResults& cell, ByteRow row) -> Result<void> {
        const std::lock_guard lock(storage_mutex);
        store_grid_cell_details(*storage, censor, j, yhat, cell, row);
        return {};
    };
    FoldState acc = parallel_fold_jobs(ctx, jobs, storage ? &sink : nullptr);
    if (!acc) return std::unexpected(std::move(acc.error()));
    return finish_grid_run(ctx, *acc, std::move(storage), y, x, theta);
}

}  // namespace toolbox::qel::models::grid::parallel

#include "toolbox/qel/models/grid/parallel.hpp"

#include <mutex>

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

FoldState fold_part(const FoldInput& in, std::size_t lo, std::size_t hi) {
    const GridPredictionSetup& setup = in.ctx.setup;
    GridCompositeAccumulator acc = GridCompositeAccumulator::create(setup.n_observations, setup.n_attributes);
    const bool both = in.ctx.censors.size() > 1;
    for (std::size_t i = lo; i < hi; ++i) {
        Result<void> r;
        if (const auto* c = std::get_if<GridParJob::Combination>(&in.jobs[i].kind)) {
            const ComboSelection sel = combo_selection(setup, c->j);
            r = run_combination_cell(in.ctx, sel, c->j, acc, in.sink, true);
        } else {
            const auto& t = std::get<GridParJob::NoiseTwin>(in.jobs[i].kind);
            const ComboSelection sel = combo_selection(setup, t.j);
            r = missing_importance::accumulate_one_fused_noise_twin(
                acc, setup.y.view(), setup.x.view(), setup.theta.row(0), sel.row, sel.columns, setup.missing_columns,
                setup.complete_columns, *in.ctx.twins, in.ctx.censors, in.ctx.options, sel.touches_hole, both, t.k);
        }
        // The rest of the part is skipped: the run fails with the first error
        // in list order anyway.
        if (!r) return std::unexpected(std::move(r.error()));
    }
    return acc;
}

FoldState join_states(FoldState left, FoldState right) {
    if (!left) return left;
    if (!right) return right;
    left->merge(*right);
    return left;
}

// Halving down to parts of a size fixed by the job count alone, so that the
// pooled sums (and their rounding) do not depend on the number of threads.
FoldState fold_range(const FoldInput& in, std::size_t lo, std::size_t hi, std::size_t leaf) {
    if (hi - lo <= leaf) return fold_part(in, lo, hi);
    const std::size_t mid = lo + (hi - lo) / 2;
    FoldState left = fold_range(in, lo, mid, leaf);
    FoldState right = fold_range(in, mid, hi, leaf);
    return join_states(std::move(left), std::move(right));
}

}  // namespace

FoldState parallel_fold_jobs(const GridRunContext& ctx, const std::vector<GridParJob>& jobs, const CellSink* sink) {
    const FoldInput in{ctx, jobs, sink};
    const std::size_t leaf = std::max<std::size_t>(1, (jobs.size() + 63) / 64);
    return fold_range(in, 0, jobs.size(), leaf);
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

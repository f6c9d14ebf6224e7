#include "toolbox/qel/models/grid/run.hpp"

#include <utility>

#include "toolbox/qel/models/grid/cells.hpp"
#include "toolbox/qel/models/grid/finalise.hpp"
#include "toolbox/qel/models/grid/missing_importance.hpp"
#include "toolbox/qel/models/predict/predict.hpp"

namespace toolbox::qel::models::grid::helpers {

using matrix::MatView;
using matrix::Vector;
using matrix::VecView;
using results::GridCellsData;
using results::PredictionResults;

Result<GridRunStart> grid_run_prelude(VecView y, MatView x, VecView theta, const config::GridOptions& options) {
    auto setup = prepare_grid_prediction_setup(y, x, theta, options);
    if (!setup) return std::unexpected(std::move(setup.error()));
    GridRunStart start{std::move(*setup), 0, std::nullopt, std::nullopt, {}, {}};
    start.t = config::thresholds_of(options.predict).size();
    if (enums::retains_cells(options.retain_grid_objects)) {
        start.storage = initialize_grid_cell_storage(censor_list(options.predict.censor_type),
                                                     start.setup.n_combinations, start.t, start.setup.n_attributes,
                                                     start.setup.n_observations, options.retain_grid_objects);
    }
    if (start.setup.has_missing && options.adjust_impact_for_missing) {
        start.twins = missing_importance::precompute_garbage_columns(start.setup.x.view(),
                                                                     start.setup.missing_columns, options.seed);
    }
    start.outcomes = insights::fit::outcome_spread(start.setup.y.view());
    start.column_means = plain_column_means(start.setup.x.view());
    return start;
}

Result<void> run_grid_job(const GridRunContext& ctx, const GridParJob& job, GridCompositeAccumulator& acc,
                          const CellSink* sink, bool on_pool) {
    if (const auto* c = std::get_if<GridParJob::Combination>(&job.kind)) {
        const CellWording wording{on_pool ? CellWording::Kind::PoolJob : CellWording::Kind::AsItIs, c->j};
        return run_combination_cell(ctx, combo_selection(ctx.setup, c->j), c->j, acc, sink, wording);
    }
    const auto& twin = std::get<GridParJob::NoiseTwin>(job.kind);
    return missing_importance::accumulate_one_fused_noise_twin(acc, ctx, combo_selection(ctx.setup, twin.j), twin.k);
}

Result<PredictionResults> finish_grid_run(const GridRunContext& ctx, const GridCompositeAccumulator& acc,
                                          std::optional<GridCellsData> storage, VecView y, MatView x,
                                          VecView theta) {
    const GridPredictionSetup& setup = ctx.setup;
    PredictionResults results = PredictionResults::create(setup.n_observations, setup.n_attributes, 1, Vector{});
    results.grid_cells = std::move(storage);
    if (auto r = finalize_grid_results(acc, setup.combos, setup.y.view(), setup.x.view(), results, setup.has_missing,
                                       ctx.t, ctx.censors.size(), ctx.options);
        !r) {
        return std::unexpected(std::move(r.error()));
    }
    if (ctx.options.predict.include_linear_regression) {
        if (auto r = predict::store_linear_regression(results, y, x, theta); !r) {
            return std::unexpected(std::move(r.error()));
        }
    }
    return results;
}

}  // namespace toolbox::qel::models::grid::helpers

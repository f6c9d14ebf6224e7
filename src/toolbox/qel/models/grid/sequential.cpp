#include "toolbox/qel/models/grid/sequential.hpp"

#include "toolbox/qel/models/grid/helpers.hpp"
#include "toolbox/qel/models/grid/missing_importance.hpp"
#include "toolbox/qel/models/grid/parallel.hpp"

namespace toolbox::qel::models::grid::sequential {

using namespace helpers;

Result<results::PredictionResults> predict_grid_sequential(matrix::VecView y, matrix::MatView x,
                                                           matrix::VecView theta, const config::GridOptions& options) {
    auto start = grid_run_prelude(y, x, theta, options);
    if (!start) return std::unexpected(std::move(start.error()));
    const GridPredictionSetup& setup = start->setup;
    const GridRunContext ctx{setup, options, censor_list(options.predict.censor_type), start->t,
                             std::move(start->twins)};
    GridCompositeAccumulator acc = GridCompositeAccumulator::create(setup.n_observations, setup.n_attributes);
    std::optional<results::GridCellsData>& storage = start->storage;
    const CellSink sink = [&](std::string_view censor, std::size_t j, matrix::VecView yhat,
                              const results::PredictionResults& cell, ByteRow row) -> Result<void> {
        store_grid_cell_details(*storage, censor, j, yhat, cell, row);
        return {};
    };
    const bool both = ctx.censors.size() > 1;

    for (std::size_t j = 0; j < setup.n_combinations; ++j) {
        const ComboSelection sel = parallel::combo_selection(setup, j);
        if (sel.columns.empty()) continue;
        if (auto r = run_combination_cell(ctx, sel, j, acc, storage ? &sink : nullptr, false); !r) {
            return std::unexpected(std::move(r.error()));
        }
        if (!ctx.twins) continue;
        for (std::size_t k : sel.columns) {
            if (!(*ctx.twins)[k]) continue;
            auto r = missing_importance::accumulate_one_fused_noise_twin(
                acc, setup.y.view(), setup.x.view(), setup.theta.row(0), sel.row, sel.columns, setup.missing_columns,
                setup.complete_columns, *ctx.twins, ctx.censors, options, sel.touches_hole, both, k);
            if (!r) return std::unexpected(std::move(r.error()));
        }
    }
    return finish_grid_run(ctx, acc, std::move(storage), y, x, theta);
}

}  // namespace toolbox::qel::models::grid::sequential

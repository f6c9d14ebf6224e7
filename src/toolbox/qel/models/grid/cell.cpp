#include "toolbox/qel/models/grid/cell.hpp"

#include <utility>

#include "toolbox/format.hpp"
#include "toolbox/qel/insights/relevance.hpp"
#include "toolbox/qel/insights/weights/prediction_weights.hpp"

namespace toolbox::qel::models::grid::helpers {

using enums::CensorType;
using matrix::Matrix;
using matrix::Vector;
namespace pw = insights::weights::prediction_weights;

ComputeError CellWording::operator()(CellStep step, CensorType censor, ComputeError error) const {
    // An internal fault keeps its words: the boundary puts the call's own first.
    if (error.internal_fault) return error;
    switch (kind) {
        case Kind::AsItIs: return error;
        case Kind::PoolJob:
            switch (step) {
                case CellStep::CovarianceSource:
                    return {format("cov parent error at q={}: {}", index, error.message)};
                case CellStep::Inversion: return {format("inv error at q={}: {}", index, error.message)};
                case CellStep::Relevance: return {format("relevance error at q={}: {}", index, error.message)};
                case CellStep::Prediction:
                    return {format("Prediction error at q={}, censor={}: {}", index,
                                   enums::censor_type_debug_name(censor), error.message)};
            }
            break;
        case Kind::NoiseTwin:
            switch (step) {
                case CellStep::CovarianceSource: return error;
                case CellStep::Inversion: return {format("fused noise inv for column {}: {}", index, error.message)};
                case CellStep::Relevance:
                    return {format("fused noise relevance for column {}: {}", index, error.message)};
                case CellStep::Prediction:
                    return {format("fused noise predict for column {}: {}", index, error.message)};
            }
            break;
    }
    return error;
}

Result<void> run_cell(const GridRunContext& ctx, const CellInputs& cell, const CellMeans& means,
                      const CellWording& wording, const PassSink& keep) {
    auto fail = [&](CellStep step, CensorType censor, ComputeError error) {
        return std::unexpected(wording(step, censor, std::move(error)));
    };
    auto inv = predict::inverse_of_covariance(cell.cov, ctx.options.predict.inv_method, cell.columns);
    if (!inv) return fail(CellStep::Inversion, CensorType::Both, std::move(inv.error()));

    config::PredictOptions options = config::for_inner_search_cell(ctx.options.predict);
    options.missing_moments = cell.touches_hole ? enums::MissingMoments::Complete : enums::MissingMoments::Pairwise;

    // Relevance and similarity do not depend on the censor type: two passes
    // share one computation, the first borrowing it, the last taking it over.
    std::optional<pw::PrecomputedInsights> shared;
    if (ctx.censors.size() > 1) {
        CombinationMean cm = means();
        auto rel = insights::relevance(cell.x, cell.theta, cm.mean.view(), inv->view());
        if (!rel) return fail(CellStep::Relevance, CensorType::Both, std::move(rel.error()));
        shared = pw::PrecomputedInsights{std::move(rel->relevance), std::move(rel->similarity),
                                         std::move(rel->info_x), std::move(rel->info_theta)};
    }
    options.cov_inv = std::move(*inv);

    predict::PipelineParts parts = cell.parts;
    if (ctx.outcomes) parts.outcome_spread = &*ctx.outcomes;
    for (std::size_t pass = 0; pass < ctx.censors.size(); ++pass) {
        const CensorType censor = ctx.censors[pass];
        options.censor_type = censor;
        pw::InsightSource source = pw::InsightSource::compute();
        if (shared) {
            source = pass + 1 < ctx.censors.size() ? pw::InsightSource::borrowed(*shared)
                                                   : pw::InsightSource::owned(std::move(*shared));
        }
        auto run = predict::predict_inner_with_insights(ctx.setup.y.view(), cell.x, cell.theta, options,
                                                        std::move(source), parts);
        if (!run) return fail(CellStep::Prediction, censor, std::move(run.error()));
        keep(censor, *run);
    }
    return {};
}

Result<void> run_combination_cell(const GridRunContext& ctx, const ComboSelection& sel, std::size_t j,
                                  GridCompositeAccumulator& acc, const CellSink* sink, const CellWording& wording) {
    if (sel.columns.empty()) return {};
    const GridPredictionSetup& setup = ctx.setup;
    auto source = combination_cov_parent(sel.touches_hole, sel.row, setup.missing_columns, setup.full_cov,
                                         setup.listwise_parents);
    if (!source) return std::unexpected(wording(CellStep::CovarianceSource, CensorType::Both, std::move(source.error())));

    const std::size_t m = sel.columns.size();
    const Matrix& cov = source->cov();
    Matrix sub = Matrix::uninit(m, m);
    for (std::size_t a = 0; a < m; ++a) {
        for (std::size_t b = 0; b < m; ++b) sub(a, b) = cov(sel.columns[a], sel.columns[b]);
    }
    const Matrix x_c = select_columns(setup.x.view(), sel.columns);
    Vector theta_c = Vector::uninit(m);
    for (std::size_t a = 0; a < m; ++a) theta_c[a] = setup.theta(0, sel.columns[a]);

    const enums::RetainGridObjects& retain = ctx.options.retain_grid_objects;
    const CellInputs cell{x_c.view(), theta_c.view(), sub.view(), sel.columns, sel.touches_hole,
                          {.ysolo_histogram = false,
                           .weights = enums::retains_any(retain, {enums::GridRetainKey::WeightsCells}),
                           .solo = enums::allocates_ysolo_cells(retain)}};
    const CellMeans means = [&] {
        return combination_mean(*source, x_c.view(), sel.columns, ctx.column_means.empty() ? nullptr : &ctx.column_means);
    };
    return run_cell(ctx, cell, means, wording, [&](CensorType censor, const predict::PredictInnerResult& pass) {
        const results::PredictionResults& res = pass.results;
        const results::SoloDistributionStatistics* stats = nullptr;
        if (res.solo_distribution && res.solo_distribution->statistics &&
            res.solo_distribution->statistics->ysolo_sigma) {
            stats = &*res.solo_distribution->statistics;
        }
        accumulate_grid_composite_stats(acc, res.core.yhat.view(), res, sel.row, stats,
                                        pass.cell_weights ? &*pass.cell_weights : nullptr);
        if (sink) (*sink)(censor, j, res.core.yhat.view(), res, sel.row);
    });
}

}  // namespace toolbox::qel::models::grid::helpers

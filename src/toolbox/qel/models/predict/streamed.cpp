// The pipeline's driver for the streamed path: predictions, fit statistics
// and the cell weights that a grid composite pools, each recomputing the
// weights from both sides' data, never holding an N x T weight matrix.
#include <optional>
#include <utility>

#include "toolbox/parallel/pool.hpp"
#include "toolbox/qel/models/predict/pipeline.hpp"

namespace toolbox::qel::models::predict {

using matrix::BoolMatView;
using matrix::Vector;
using matrix::VecView;
namespace psr = insights::weights::psr_weights;
namespace solo_dist = insights::solo_distributions;

namespace {

// Asymmetry and fit statistics from both sides' streamed fit statistics
// over n_obs outcomes.
insights::asymmetry::AsymmetryResult asymmetry_of_streamed_fits(VecView n, insights::fit::FitResult fit_in,
                                                               insights::fit::FitResult fit_ex, std::size_t n_obs) {
    Vector asym = insights::asymmetry::asymmetry_from_rho(n, fit_in.rho.view(), fit_ex.rho.view(), n_obs);
    insights::asymmetry::AsymmetryStats stats;
    stats.fit = std::move(fit_in.fit);
    stats.rho = std::move(fit_in.rho);
    stats.rho_excluded = std::move(fit_ex.rho);
    stats.outlier_influence = std::move(fit_in.outlier_influence);
    stats.agreement = std::move(fit_in.agreement);
    stats.n = Vector::from(n);
    return {std::move(asym), std::move(stats)};
}

}  // namespace

insights::asymmetry::AsymmetryResult asymmetry_from_psr_stream(VecView n, VecView y, VecView relevance,
                                                              BoolMatView include, BoolMatView exclude,
                                                              const psr::PsrEval& eval,
                                                              const insights::fit::OutcomeSpread* known_spread) {
    const psr::OutcomeSpread spread = known_spread ? *known_spread : psr::outcome_spread(y);
    auto fit_in = psr::psr_stream_fit(y, spread, relevance, include, eval.include_side, eval.n_total);
    auto fit_ex = psr::psr_stream_fit(y, spread, relevance, exclude, eval.exclude_side, eval.n_total);
    return asymmetry_of_streamed_fits(n, std::move(fit_in), std::move(fit_ex), y.size());
}

namespace pipeline {

Result<psr::CellAdjFitWeights> run_streamed(WeighedRun& run, const psr::GridPsrSummary& summary) {
    const VecView y = run.y;
    const BoolMatView exclude = summary.exclude.view();
    const psr::PsrEval& eval = summary.eval;
    Vector yhat;
    insights::asymmetry::AsymmetryResult fits;
    std::optional<psr::BothSideWeights> kept;
    std::optional<Result<solo_dist::SoloDistributionParts>> solo_parts;
    auto solo_step = [&] {
        if (run.parts.solo) solo_parts.emplace(solo_distribution_of(run));
    };
    if (run.side_by_side()) {
        // The predictions, the solo distribution and both sides' fit
        // statistics (against y, never against yhat), each a pass of its own.
        parallel::join(
            [&] { yhat = psr::psr_stream_yhat(y, run.relevance, run.include, eval.include_side, eval.n_total); },
            [&] {
                parallel::join(solo_step, [&] {
                    fits = asymmetry_from_psr_stream(run.n_retained, y, run.relevance, run.include, exclude, eval,
                                                     run.parts.outcome_spread);
                });
            });
    } else {
        // One after the other, the predictions and both sides' fit
        // statistics share their passes over the cells.
        const psr::OutcomeSpread spread =
            run.parts.outcome_spread ? *run.parts.outcome_spread : psr::outcome_spread(y);
        psr::StreamedStatistics st = psr::psr_stream_statistics(y, spread, run.relevance, run.include, exclude, eval);
        yhat = std::move(st.yhat);
        fits = asymmetry_of_streamed_fits(run.n_retained, std::move(st.include), std::move(st.exclude), y.size());
        kept = std::move(st.weights);
        solo_step();
    }
    if (solo_parts && !*solo_parts) return std::unexpected(std::move(solo_parts->error()));

    std::optional<solo_dist::SoloDistributionParts> solo;
    if (solo_parts) solo = std::move(**solo_parts);
    auto predicted = predictions_and_solo(run, std::move(yhat), std::move(solo));
    if (!predicted) return std::unexpected(std::move(predicted.error()));
    const Vector adjusted = store_predictions(run, std::move(*predicted), std::move(fits));

    // The cell weights: the include side leaves out the thresholds that
    // retain no more observations than there are attributes.
    const results::PredictionAuxiliaryInfo& aux = *run.results.auxiliary;
    const std::size_t t = adjusted.size();
    Vector a = Vector::uninit(t);
    for (std::size_t k = 0; k < t; ++k) a[k] = adjusted[k] * (aux.k[k] < aux.n[k] ? 1.0 : 0.0);
    return psr::psr_stream_mix(run.relevance, run.include, exclude, eval, a.view(), adjusted.view(),
                               kept ? &*kept : nullptr);
}

}  // namespace pipeline

}  // namespace toolbox::qel::models::predict

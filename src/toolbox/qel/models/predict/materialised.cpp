// The pipeline's driver for materialised weights: the predictions are the
// weights times y, the fit statistics those of either side's weight matrix,
// and the spread of the included weights is stored with them.
#include <optional>
#include <utility>

#include "toolbox/matrix/rowwise.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/qel/insights/fit/fit.hpp"
#include "toolbox/qel/insights/fit/weight_columns.hpp"
#include "toolbox/qel/models/predict/pipeline.hpp"

namespace toolbox::qel::models::predict::pipeline {

using matrix::MatView;
using matrix::Vector;
namespace fit = insights::fit;
namespace solo_dist = insights::solo_distributions;

namespace {

// What the steps after materialised weights give, each step's outcome kept
// so that the errors are reported in the order of the steps.
struct AfterWeights {
    std::optional<Result<solo_dist::SoloDistributionParts>> solo_parts;
    Result<PredictionsAndSolo> predicted = compute_error("");
    std::optional<Result<fit::FitResult>> fit_in, fit_ex;
    Vector concentration;
};

// One after the other, the spread of y is worked out once for both sides'
// fit statistics, and one pass over the included weights gives their column
// sums, the predictions and their spread.
AfterWeights one_after_the_other(const WeighedRun& run) {
    AfterWeights out;
    const MatView w_in = run.results.weights->view();
    const MatView w_ex = run.results.weights_excluded->view();
    std::optional<fit::OutcomeSpread> own_spread;
    if (!run.parts.outcome_spread) own_spread = fit::outcome_spread(run.y);
    const fit::OutcomeSpread* spread = run.parts.outcome_spread ? run.parts.outcome_spread : &*own_spread;

    fit::WeightColumnPasses included = fit::weight_column_passes(w_in, run.y);
    if (run.parts.solo) out.solo_parts.emplace(solo_distribution_of(run));
    out.fit_ex.emplace(fit::fit_auto_vectorized(w_ex, run.y, nullptr, spread));
    if (out.solo_parts && !*out.solo_parts) return out;

    std::optional<solo_dist::SoloDistributionParts> solo;
    if (out.solo_parts) solo = std::move(**out.solo_parts);
    out.predicted = predictions_and_solo(run, std::move(included.weighted_outcomes), std::move(solo));
    out.fit_in.emplace(fit::fit_auto_vectorized(w_in, run.y, included.column_sums.data(), spread));
    out.concentration = std::move(included.concentration);
    return out;
}

// With many rows, two branches side by side that each wait only for what
// they read. One: the solo distribution and the included weights'
// predictions, then the predictions on their scale with the solo statistics
// and histogram. Two: the column sums of both sides' weights and the spread
// of y, each a pass of its own, then both sides' fit statistics from them
// and, apart, the included weights' spread, whose chain through a division
// is the longest.
AfterWeights side_by_side(const WeighedRun& run) {
    AfterWeights out;
    const MatView w_in = run.results.weights->view();
    const MatView w_ex = run.results.weights_excluded->view();
    const matrix::VecView y = run.y;
    parallel::join(
        [&] {
            std::optional<fit::WeightColumnPasses> included;
            parallel::join([&] { if (run.parts.solo) out.solo_parts.emplace(solo_distribution_of(run)); },
                           [&] { included = fit::weight_column_sums(w_in, y); });
            if (out.solo_parts && !*out.solo_parts) return;
            std::optional<solo_dist::SoloDistributionParts> solo;
            if (out.solo_parts) solo = std::move(**out.solo_parts);
            out.predicted = predictions_and_solo(run, std::move(included->weighted_outcomes), std::move(solo));
        },
        [&] {
            fit::OutcomeSpread spread;
            Vector sums_in, sums_ex;
            // A shape the fit step refuses is left to it to report.
            auto column_sums_of = [&](MatView w, Vector& sums) {
                if (w.rows() != y.size()) return;
                sums = Vector::uninit(w.cols());
                matrix::rowwise::column_sums(w, sums.data());
            };
            parallel::join(
                [&] { spread = run.parts.outcome_spread ? *run.parts.outcome_spread : fit::outcome_spread(y); },
                [&] {
                    parallel::join([&] { column_sums_of(w_in, sums_in); }, [&] { column_sums_of(w_ex, sums_ex); });
                });
            auto sums_or_none = [](const Vector& sums) { return sums.empty() ? nullptr : sums.data(); };
            parallel::join(
                [&] {
                    parallel::join(
                        [&] { out.fit_in.emplace(fit::fit_auto_vectorized(w_in, y, sums_or_none(sums_in), &spread)); },
                        [&] {
                            out.fit_ex.emplace(fit::fit_auto_vectorized(w_ex, y, sums_or_none(sums_ex), &spread));
                        });
                },
                [&] { out.concentration = fit::weights_concentration_from_matrix(w_in); });
        });
    return out;
}

}  // namespace

Result<void> run_materialised(WeighedRun& run) {
    if (!run.results.weights) return compute_error("Weights not available in results");
    if (!run.results.weights_excluded) return compute_error("Excluded weights not available in results");
    AfterWeights after = run.side_by_side() ? side_by_side(run) : one_after_the_other(run);
    if (after.solo_parts && !*after.solo_parts) return std::unexpected(std::move(after.solo_parts->error()));
    if (!after.predicted) return std::unexpected(std::move(after.predicted.error()));
    if (!*after.fit_in) return std::unexpected(std::move(after.fit_in->error()));
    if (!*after.fit_ex) return std::unexpected(std::move(after.fit_ex->error()));
    // Asymmetry and fit of the weights against y (never against yhat).
    insights::asymmetry::AsymmetryResult fits = insights::asymmetry::asymmetry_of_fits(
        run.n_retained, std::move(**after.fit_in), std::move(**after.fit_ex), run.y.size());
    run.results.insights->weights_concentration = std::move(after.concentration);
    store_predictions(run, std::move(*after.predicted), std::move(fits));
    return {};
}

}  // namespace toolbox::qel::models::predict::pipeline

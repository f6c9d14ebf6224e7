// One relevance-weighted prediction of the outcome at a target row, over all
// thresholds of a run: the pipeline every model shares.
#pragma once

#include <optional>
#include <span>
#include <utility>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/insights/asymmetry/asymmetry.hpp"
#include "toolbox/qel/insights/weights/prediction_weights.hpp"
#include "toolbox/qel/insights/weights/psr_weights.hpp"
#include "toolbox/qel/models/config/predict_options.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::predict {

using insights::weights::psr_weights::CellAdjFitWeights;
using insights::weights::prediction_weights::InsightSource;

struct PredictInnerResult {
    results::PredictionResults results;
    // Present on the streamed path only.
    std::optional<CellAdjFitWeights> cell_weights;
};

// Nothing when every entry of the covariance `cov` is finite; otherwise the
// error every model call reports for an undefined covariance, naming the
// column of X (or the two columns) of the first entry that is not finite,
// the diagonal first, and every cause it can have. `columns[a]` is the column
// of X behind row a of `cov` (none: row a is column a).
Result<void> check_covariance_finite(matrix::MatView cov, std::span<const std::size_t> columns = {});

// `cov` inverted by `method` once check_covariance_finite accepts it and,
// when the pairwise rule made it (`pairwise`), check_pairwise_definite.
Result<matrix::Matrix> inverse_of_covariance(matrix::MatView cov, enums::InversionMethod method,
                                             std::span<const std::size_t> columns = {}, bool pairwise = false);

// The prediction run behind the C interface: materialised weights, solo
// distribution with its histogram, relevance computed from the data. Data
// it cannot use (a non-finite outcome or target value, and on the logistic
// scale an outcome outside [0, 1]) is refused before the run.
Result<results::PredictionResults> predict(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                           const config::PredictOptions& options);

// What a run of the pipeline builds besides its predictions and fit
// statistics; the prediction call asks for everything, the search runs for
// less.
struct PipelineParts {
    // The y-solo histogram of the solo distribution.
    bool ysolo_histogram = true;
    // The N x T weight matrices; without them the run takes the streamed
    // path and hands back the cell weights instead.
    bool weights = true;
    // The solo distribution with its statistics.
    bool solo = true;
    // Refuse a run in which no observation has a finite censor score: it
    // retains nothing and predicts 0. A prediction or max-fit run has to say
    // so; a grid cell that cannot predict weighs nothing in its composite.
    bool finite_scores_required = false;
    // The spread of y (its mean and sum of squared deviations), when the
    // caller has it already: the cells of a grid share one y.
    const insights::fit::OutcomeSpread* outcome_spread = nullptr;
};

// The shared pipeline: refuses censor type both (a search run makes one run
// per censor type), then runs the driver of the weights mode `parts` asks
// for, materialised or streamed.
Result<PredictInnerResult> predict_inner_with_insights(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                       const config::PredictOptions& options, InsightSource source,
                                                       PipelineParts parts);

// The linear-regression value of y on x at theta, stored as the results'
// one-element `yhat_linear`; its error leaves the results unchanged. Every
// model computes it once, on its full data and the response scale.
Result<void> store_linear_regression(results::PredictionResults& results, matrix::VecView y, matrix::MatView x,
                                     matrix::VecView theta);

// Asymmetry and fit statistics of the streamed weights of both sides
// (`spread`, when given, is the spread of y).
insights::asymmetry::AsymmetryResult asymmetry_from_psr_stream(matrix::VecView n, matrix::VecView y,
                                                              matrix::VecView relevance, matrix::BoolMatView include,
                                                              matrix::BoolMatView exclude,
                                                              const insights::weights::psr_weights::PsrEval& eval,
                                                              const insights::fit::OutcomeSpread* spread = nullptr);

}  // namespace toolbox::qel::models::predict

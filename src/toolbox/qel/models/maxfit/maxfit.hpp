// Max-fit selection: the threshold and the censor type that fit best.
//
// Each censor type of the run gets one pass of the prediction pipeline over
// every threshold; the threshold with the largest objective score is kept and
// the pass reduced to it; of the passes, the one with the larger score wins.
// The logistic scale and the linear-regression value are applied once, to the
// winner.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "toolbox/enums/enums.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/insights/weights/prediction_weights.hpp"
#include "toolbox/qel/models/config/maxfit_options.hpp"
#include "toolbox/qel/models/config/predict_options.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::maxfit {

// What every censor type's pass reads; built once per run, read-only after.
// The data are the caller's, borrowed for the run.
struct MaxFitSetup {
    enums::MaxFitObjective objective = enums::MaxFitObjective::KFit;
    config::PredictOptions predict;
    enums::InnerParallel inner_parallel = enums::InnerParallel::Auto;
    matrix::Matrix cov_inv;     // K x K, shared by every pass
    matrix::Vector thresholds;  // the thresholds searched
    matrix::VecView y;
    matrix::MatView x;
    matrix::VecView theta;
    // With two censor types, the relevance measures both passes share:
    // computed from the data once, as each pass would compute them.
    std::optional<insights::weights::prediction_weights::PrecomputedInsights> shared_insights;
};

// One censor type's pass reduced to its best threshold, and the run's result:
// `value` holds the prediction at that threshold (one element).
struct MaxFitCandidate {
    matrix::Vector value;
    results::PredictionResults results;
};

// The entry: the pool driver when the censor type is both and inner
// parallelism is automatic, the sequential driver otherwise.
Result<MaxFitCandidate> predict_maxfit_simple(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                              const config::MaxFitOptions& options);

// The censor types one after the other; every error comes back as it is.
Result<MaxFitCandidate> predict_maxfit_sequential(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                  const config::MaxFitOptions& options);

// The censor types at once on the worker pool; every error comes back
// prefixed by the step that failed.
Result<MaxFitCandidate> predict_maxfit_parallel(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                const config::MaxFitOptions& options);

Result<MaxFitSetup> setup_common(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                 const config::MaxFitOptions& options);

// The censor types a run covers, in the order they are searched.
std::vector<enums::CensorType> censor_types_of(const config::PredictOptions& predict);

Result<MaxFitCandidate> execute_single_censor(const MaxFitSetup& setup, enums::CensorType censor);

// The per-threshold scores that `objective` names.
const matrix::Vector& objective_scores(const results::PredictionResults& results, enums::MaxFitObjective objective);

// Position of the best score: scanning from index 0, a NaN best gives way to
// the next entry, a NaN never displaces a number, and an entry at least as
// large as the best displaces it (ties go to the later index; all NaN gives
// the last). `scores` must not be empty.
std::size_t best_threshold_index(matrix::VecView scores);

// `best_threshold_index`, after telling standard output, when `verbose` is
// set, that no score is a number.
std::size_t choose_threshold(matrix::VecView scores, bool verbose);

Result<MaxFitCandidate> select_best_result(std::vector<MaxFitCandidate> candidates, enums::MaxFitObjective objective);

// Puts the chosen prediction and the solo predictions on the probability
// scale and recomputes the solo statistics from them.
Result<void> apply_maxfit_logistic(matrix::VecView y, matrix::MatView x, matrix::Vector& value,
                                   results::PredictionResults& results, matrix::MatView cov_inv);

}  // namespace toolbox::qel::models::maxfit

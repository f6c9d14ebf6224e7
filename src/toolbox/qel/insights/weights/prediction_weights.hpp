// The censored partial-sample weights of one prediction run: relevance
// measures (computed, or handed over by the grid), censor cut-offs per
// threshold, include and exclude masks, and the weights of both sides, written
// into the run's results store.
#pragma once

#include <cstddef>
#include <optional>
#include <variant>

#include "toolbox/enums/enums.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/qel/insights/weights/psr_weights.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::insights::weights::prediction_weights {

// Relevance measures computed once by a caller for several censor passes.
struct PrecomputedInsights {
    matrix::Vector relevance;   // N
    matrix::Vector similarity;  // N
    matrix::Vector info_x;      // N
    matrix::Vector info_theta;  // 1
};

// Where the relevance measures of a run come from.
struct InsightSource {
    // Taken over by the run (the last censor pass of a grid combination).
    struct Owned {
        PrecomputedInsights insights;
    };
    // Computed from the data; with the column means (and their sample size)
    // when the caller already has them from its covariance pass.
    struct Compute {
        const matrix::covariance::MeanAndN* means = nullptr;
    };
    // Read from the caller's, which stays unchanged for the next pass.
    struct Borrowed {
        const PrecomputedInsights* insights;
    };

    std::variant<Owned, Compute, Borrowed> kind{Compute{}};

    static InsightSource owned(PrecomputedInsights insights) { return {Owned{std::move(insights)}}; }
    static InsightSource compute(const matrix::covariance::MeanAndN* means = nullptr) { return {Compute{means}}; }
    static InsightSource borrowed(const PrecomputedInsights& insights) { return {Borrowed{&insights}}; }
};

// The relevance measures of x at theta as a run computes them from the data
// with `cov_inv` (`InsightSource::compute(means)`), for a caller that hands
// them to several runs. `means`: the column means with their sample size as
// `average_with_n` gives them under `missing_moments`, when the caller has
// them; computed here otherwise. A failure is an internal fault: the inputs
// are the caller's, already shaped.
Result<PrecomputedInsights> insights_from_data(matrix::MatView x, matrix::VecView theta, matrix::MatView cov_inv,
                                               enums::MissingMoments missing_moments,
                                               const matrix::covariance::MeanAndN* means = nullptr);

// The censor of one prediction run, as it travels from the options to the
// masks: the score that censors (relevance or similarity; both in turn is
// the search runs' affair, which make one run per censor type), the side of
// each cut-off that is retained, and how the thresholds, read in place,
// become cut-offs on that score.
struct CensorSettings {
    enums::CensorType type = enums::CensorType::Relevance;
    enums::CensorOperator op = enums::CensorOperator::GreaterThanOrEqual;
    enums::CensorUnit unit = enums::CensorUnit::Percent;
    matrix::VecView thresholds;
};

struct PredictionWeightsResult {
    // Retained observations per threshold (include side).
    matrix::Vector n;
    // Present exactly when the weights are not materialised: what the
    // streamed path needs in their place.
    std::optional<psr_weights::GridPsrSummary> summary;
};

// The relevance measures (from `source`; computed with `cov_inv`, or with
// the inverse of the covariance under `missing_moments` when none is
// given), the cut-offs and the include and exclude masks of `censor`, and
// the partial-sample weights of both sides: as N x T matrices (`weights`),
// or as the side data of the streamed path, returned in the summary. Stores
// the relevance part, the include mask, the weight matrices and the include
// side's auxiliary values in `results`; the spread of the weights
// (`weights_concentration`) is the caller's, which forms it in a pass it
// makes over the weights anyway. `censor.type` is never both.
Result<PredictionWeightsResult> prediction_weights_with_insights(results::PredictionResults& results,
                                                                 matrix::MatView x, matrix::VecView theta,
                                                                 const CensorSettings& censor,
                                                                 std::optional<matrix::MatView> cov_inv,
                                                                 InsightSource source, bool weights,
                                                                 enums::MissingMoments missing_moments);

}  // namespace toolbox::qel::insights::weights::prediction_weights

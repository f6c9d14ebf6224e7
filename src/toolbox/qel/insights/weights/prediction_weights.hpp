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

struct PredictionWeightsResult {
    // Retained observations per threshold (include side).
    matrix::Vector n;
    // Present exactly when the weights are not materialised: what the
    // streamed path needs in their place.
    std::optional<psr_weights::GridPsrSummary> summary;
};

// Where the spread of materialised weights (`weights_concentration`) is
// computed: here, or by the caller, which stores it itself while it goes on
// with other steps that read the weights.
enum class Spread { Here, ByCaller };

Result<PredictionWeightsResult> prediction_weights_with_insights(
    results::PredictionResults& results, matrix::MatView x, matrix::VecView theta, enums::CensorType censor_type,
    enums::CensorOperator censor_operator, std::optional<matrix::VecView> thresholds,
    std::optional<enums::CensorUnit> censor_unit, std::optional<matrix::MatView> cov_inv, InsightSource source,
    bool weights, enums::MissingMoments missing_moments, Spread spread = Spread::Here);

}  // namespace toolbox::qel::insights::weights::prediction_weights

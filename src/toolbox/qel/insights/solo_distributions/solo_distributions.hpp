// The solo distribution of a prediction: every observation's own prediction
// (its deviation from the mean of y scaled by the target's distance over its
// relevance), its solo weight per threshold, the weighted moments of the solo
// predictions around each threshold's prediction, and their histogram.
#pragma once

#include <cstddef>
#include <optional>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/results/base.hpp"
#include "toolbox/stats/histogram.hpp"

namespace toolbox::qel::insights::solo_distributions {

// (y_solo, xi_solo): N solo predictions and the N x T solo weights.
struct SoloDistributionParts {
    matrix::Vector y_solo;
    matrix::Matrix xi_solo;
};

// Per threshold: (sigma, skewness, kurtosis) of the solo predictions.
struct SoloStatistics {
    matrix::Vector sigma;
    matrix::Vector skewness;
    matrix::Vector kurtosis;
};

// The histogram and what it was built from: the solo predictions that passed
// the outlier rule (in input order), their weights rescaled per threshold when
// weights were given, and the summary the results store keeps.
struct YSoloDistribution {
    matrix::Vector kept_values;
    std::optional<matrix::Matrix> kept_weights;
    results::YSoloDistributionSummary summary;
};

// Solo predictions of every observation.
matrix::Vector estimate_y_solo(matrix::VecView y, matrix::VecView relevance_scores, matrix::VecView info_theta,
                               double ybar);

// Solo weights: squared relevance over the retained observations of each
// threshold, normalised to sum 1 per threshold.
matrix::Matrix estimate_solo_weights(matrix::VecView relevance_scores, matrix::BoolMatView include);

Result<SoloDistributionParts> compute_solo_distribution(matrix::VecView y, matrix::VecView relevance_scores,
                                                        matrix::BoolMatView include, matrix::VecView info_theta);

Result<SoloStatistics> compute_solo_statistics(matrix::VecView y_solo, matrix::MatView xi_solo, matrix::VecView yhat);

// The results' solo statistics record: `compute_solo_statistics` with the
// Pearson modality index and the bimodality coefficient of its skewness and
// kurtosis.
Result<results::SoloDistributionStatistics> solo_statistics_record(matrix::VecView y_solo, matrix::MatView xi_solo,
                                                                   matrix::VecView yhat);

// The histogram of the solo predictions (stats/histogram.hpp) with what it
// was built from; k is the outlier factor, kOutlierFactor for every caller.
Result<YSoloDistribution> compute_ysolo_distribution(matrix::VecView y_solo, std::optional<matrix::MatView> xi_solo,
                                                     double k);

// The summary of `compute_ysolo_distribution` alone, bit for bit, for callers
// that keep only the summary: without the kept copies, and with the order
// statistics of the sample selected rather than sorted out.
Result<results::YSoloDistributionSummary> compute_ysolo_summary(matrix::VecView y_solo,
                                                                std::optional<matrix::MatView> xi_solo, double k);

}  // namespace toolbox::qel::insights::solo_distributions

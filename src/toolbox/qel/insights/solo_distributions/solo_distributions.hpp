// The solo distribution of a prediction: every observation's own prediction
// (its deviation from the mean of y scaled by the target's distance over its
// relevance), its solo weight per threshold, the weighted moments of the solo
// predictions around each threshold's prediction, and their histogram.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/results/base.hpp"

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

// Linear interpolation between the closest ranks of an ascending sample
// (n >= 1); p in percent.
double percentile_from_sorted(std::span<const double> values, double p);

// Per bin, the sum of the weights of the values that fall into it; bins are
// [edges_j, edges_j+1), the last one closed on the right. NaN values and NaN
// weights are not counted. Fewer than two edges give no bins.
matrix::Vector weighted_histogram_counts(std::span<const double> values, std::span<const double> weights,
                                         std::span<const double> edges);

// Which solo predictions lie within k interquartile ranges of the quartiles.
matrix::BoolVector iqr_outlier_mask(matrix::VecView y_solo, double k);

// Histogram edges for a sample sorted ascending (t >= 1 values).
matrix::Vector auto_bin_edges(std::span<const double> sorted);

// Ascending stable sort in which a value that does not compare (NaN) counts
// as equal to every other value.
void stable_sort_nan_equal(std::span<double> values);

Result<YSoloDistribution> compute_ysolo_distribution(matrix::VecView y_solo, std::optional<matrix::MatView> xi_solo,
                                                     double k);

// The summary of `compute_ysolo_distribution` alone, bit for bit, for callers
// that keep only the summary: without the kept copies, and with the order
// statistics of the sample selected rather than sorted out.
Result<results::YSoloDistributionSummary> compute_ysolo_summary(matrix::VecView y_solo,
                                                                std::optional<matrix::MatView> xi_solo, double k);

}  // namespace toolbox::qel::insights::solo_distributions

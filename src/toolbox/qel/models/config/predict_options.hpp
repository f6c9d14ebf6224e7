// The settings of one prediction run. A plain value: copied freely, owned by
// whoever holds it, and never changed while a run reads it.
#pragma once

#include <optional>

#include "toolbox/enums/enums.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::models::config {

// A default-constructed record holds the defaults of a predict handle.
struct PredictOptions {
    // Precomputed K x K inverse covariance; when present the run skips the
    // covariance and its inversion. No C setter: max-fit fills it for its
    // inner runs.
    std::optional<matrix::Matrix> cov_inv;
    // Absent means the default range (threshold_or_default_range).
    std::optional<matrix::Vector> threshold = matrix::Vector{0.5};
    enums::CensorOperator censor_operator = enums::CensorOperator::GreaterThanOrEqual;
    enums::CensorType censor_type = enums::CensorType::Relevance;
    enums::AdjFitMultiplier adj_fit_multiplier = enums::AdjFitMultiplier::K;
    enums::InversionMethod inv_method = enums::InversionMethod::Gaussian;
    enums::CensorUnit censor_unit = enums::CensorUnit::Percent;
    enums::PredictionScale prediction_scale = enums::PredictionScale::Response;
    enums::MissingMoments missing_moments = enums::MissingMoments::Pairwise;
    // Also compute the linear-regression value at the target.
    bool include_linear_regression = false;
    // Progress lines on standard output (grid and max-fit runs).
    bool verbose = false;
};

// The thresholds a run without its own list covers.
matrix::Vector default_threshold_range();

// The thresholds of a run, read in place: its own list, or the default range
// [0.0, 0.2, 0.5, 0.8]. The view lives as long as the options.
matrix::VecView thresholds_of(const PredictOptions& options);

// A copy of thresholds_of(options).
matrix::Vector threshold_or_default_range(const PredictOptions& options);

// The options of one grid cell: a full copy on the response scale without the
// linear regression, because the grid applies both once to its composite
// result.
PredictOptions for_inner_search_cell(const PredictOptions& options);

// The prediction settings that grid and max-fit records start from: the
// defaults above, over the default threshold range and both censor types.
PredictOptions search_run_predict_defaults();

}  // namespace toolbox::qel::models::config

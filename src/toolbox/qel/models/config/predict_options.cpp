#include "toolbox/qel/models/config/predict_options.hpp"

#include <array>

namespace toolbox::qel::models::config {

namespace {

constexpr std::array<double, 4> kDefaultThresholdRange = {0.0, 0.2, 0.5, 0.8};

matrix::VecView default_range() { return {kDefaultThresholdRange.data(), kDefaultThresholdRange.size()}; }

}  // namespace

matrix::Vector default_threshold_range() { return matrix::Vector::from(default_range()); }

matrix::VecView thresholds_of(const PredictOptions& options) {
    return options.threshold ? options.threshold->view() : default_range();
}

matrix::Vector threshold_or_default_range(const PredictOptions& options) {
    return matrix::Vector::from(thresholds_of(options));
}

PredictOptions for_inner_search_cell(const PredictOptions& options) {
    PredictOptions cell = options;
    cell.prediction_scale = enums::PredictionScale::Response;
    cell.include_linear_regression = false;
    return cell;
}

PredictOptions search_run_predict_defaults() {
    PredictOptions options;
    options.threshold = default_threshold_range();
    options.censor_type = enums::CensorType::Both;
    return options;
}

}  // namespace toolbox::qel::models::config

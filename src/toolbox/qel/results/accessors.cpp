#include "toolbox/qel/results/accessors.hpp"

namespace toolbox::qel::results {
namespace {

const Vector* get(const std::optional<Vector>& v) { return v ? &*v : nullptr; }

const SoloDistributionStatistics* statistics(const PredictionResults& r) {
    if (!r.solo_distribution || !r.solo_distribution->statistics) return nullptr;
    return &*r.solo_distribution->statistics;
}

template <std::optional<Vector> SoloDistributionStatistics::*Field>
const Vector* statistic(const PredictionResults& r) {
    const SoloDistributionStatistics* s = statistics(r);
    return s ? get(s->*Field) : nullptr;
}

template <std::optional<Vector> GridInsights::*Field>
const Vector* grid_insight(const PredictionResults& r) {
    return r.grid_insights ? get(*r.grid_insights.*Field) : nullptr;
}

}  // namespace

const Vector* ysolo_sigma(const PredictionResults& r) { return statistic<&SoloDistributionStatistics::ysolo_sigma>(r); }
const Vector* ysolo_skewness(const PredictionResults& r) {
    return statistic<&SoloDistributionStatistics::ysolo_skewness>(r);
}
const Vector* ysolo_kurtosis(const PredictionResults& r) {
    return statistic<&SoloDistributionStatistics::ysolo_kurtosis>(r);
}
const Vector* ysolo_pearson_modality_index(const PredictionResults& r) {
    return statistic<&SoloDistributionStatistics::ysolo_pearson_modality_index>(r);
}
const Vector* ysolo_bimodal_index(const PredictionResults& r) {
    return statistic<&SoloDistributionStatistics::ysolo_bimodal_index>(r);
}
const Vector* y_solo(const PredictionResults& r) {
    return r.solo_distribution ? get(r.solo_distribution->y_solo) : nullptr;
}
const Vector* maxfit_index(const PredictionResults& r) { return get(r.maxfit_index); }
const Vector* variable_weights(const PredictionResults& r) { return grid_insight<&GridInsights::variable_weights>(r); }
const Vector* marginal_contribution_to_conviction(const PredictionResults& r) {
    return grid_insight<&GridInsights::marginal_contribution_to_conviction>(r);
}
const Vector* marginal_contribution_to_prediction(const PredictionResults& r) {
    return grid_insight<&GridInsights::marginal_contribution_to_prediction>(r);
}
const Vector* component_contribution_to_prediction(const PredictionResults& r) {
    return grid_insight<&GridInsights::component_contribution_to_prediction>(r);
}
const Vector* xi_solo_composite(const PredictionResults& r) { return grid_insight<&GridInsights::xi_solo_composite>(r); }
const Vector* weights_concentration(const PredictionResults& r) {
    return r.insights ? get(r.insights->weights_concentration) : nullptr;
}

}  // namespace toolbox::qel::results

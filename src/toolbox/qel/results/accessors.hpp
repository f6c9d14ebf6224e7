// Read access to the optional vectors that the C interface copies out through
// one shared routine. Each answers the vector, or nullptr when it or any part
// that holds it is absent.
#pragma once

#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::results {

const Vector* ysolo_sigma(const PredictionResults& results);
const Vector* ysolo_skewness(const PredictionResults& results);
const Vector* ysolo_kurtosis(const PredictionResults& results);
const Vector* ysolo_pearson_modality_index(const PredictionResults& results);
const Vector* ysolo_bimodal_index(const PredictionResults& results);
const Vector* y_solo(const PredictionResults& results);
const Vector* maxfit_index(const PredictionResults& results);
const Vector* variable_weights(const PredictionResults& results);
const Vector* marginal_contribution_to_conviction(const PredictionResults& results);
const Vector* marginal_contribution_to_prediction(const PredictionResults& results);
const Vector* component_contribution_to_prediction(const PredictionResults& results);
const Vector* xi_solo_composite(const PredictionResults& results);
const Vector* weights_concentration(const PredictionResults& results);

}  // namespace toolbox::qel::results

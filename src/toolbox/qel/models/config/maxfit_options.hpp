// The settings of a max-fit run: the prediction settings of its inner runs and
// the objective that picks the best threshold and censor type.
#pragma once

#include "toolbox/enums/enums.hpp"
#include "toolbox/qel/models/config/predict_options.hpp"

namespace toolbox::qel::models::config {

// A default-constructed record holds the defaults of a max-fit handle.
struct MaxFitOptions {
    enums::MaxFitObjective objective = enums::MaxFitObjective::KFit;
    PredictOptions predict = search_run_predict_defaults();
    enums::InnerParallel inner_parallel = enums::InnerParallel::Auto;
};

}  // namespace toolbox::qel::models::config

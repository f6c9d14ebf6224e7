// The settings of a grid run: the prediction settings of every cell plus the
// combinations, their sampling and what the run keeps per cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "toolbox/enums/enums.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/config/predict_options.hpp"

namespace toolbox::qel::models::config {

// A default-constructed record holds the defaults of a grid handle.
struct GridOptions {
    enums::RetainGridObjects retain_grid_objects = enums::RetainGridObjects::none();
    PredictOptions predict = search_run_predict_defaults();
    // Smallest number of attributes in a combination.
    std::size_t k = 1;
    // Largest number of combinations.
    std::size_t max_iter = 1000;
    // The caller's own combinations (combinations x K); absent: drawn from seed.
    std::optional<matrix::Matrix> attribute_combi;
    std::uint32_t seed = 42;
    // Missing-value importance by noise twins.
    bool adjust_impact_for_missing = true;
    enums::InnerParallel inner_parallel = enums::InnerParallel::Auto;
};

}  // namespace toolbox::qel::models::config

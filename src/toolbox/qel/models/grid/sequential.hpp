// The grid run on the calling thread: combinations in order, censor passes
// inside, each combination's noise-twin jobs right after its passes.
#pragma once

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::grid::sequential {

Result<results::PredictionResults> predict_grid_sequential(matrix::VecView y, matrix::MatView x,
                                                           matrix::VecView theta, const config::GridOptions& options);

}  // namespace toolbox::qel::models::grid::sequential

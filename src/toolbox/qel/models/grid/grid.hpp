// A grid search: the prediction repeated for every attribute combination and
// censor type, pooled by adjusted fit into one composite result.
#pragma once

#include <cstddef>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::grid {

// The largest samples that a grid run with inner parallel auto still runs
// sequentially, with one censor type and with both.
inline constexpr std::size_t kSequentialUpTo = 4999;
inline constexpr std::size_t kSequentialUpToWithBoth = 249;

// Runs on the worker pool when inner parallel is auto and the sample has more
// observations than the limit above; sequentially otherwise.
Result<results::PredictionResults> predict_grid(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                const config::GridOptions& options);

// Whether `predict_grid` takes the parallel mode for these sizes.
bool grid_runs_in_parallel(std::size_t n_observations, const config::GridOptions& options);

}  // namespace toolbox::qel::models::grid

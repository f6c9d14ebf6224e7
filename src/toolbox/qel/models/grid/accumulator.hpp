// The running sums of a grid run's pooling: every cell adds its predictions,
// fits and weights, weighted by its adjusted fit, per observation, per
// attribute and in total; the noise-twin runs add three sums of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/insights/weights/psr_weights.hpp"
#include "toolbox/qel/models/grid/setup.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::grid::helpers {

struct GridCompositeAccumulator {
    // Sums per observation (N values), per attribute (K values) and in total;
    // accumulator.cpp lists them by axis for creating and merging.
    matrix::Vector include_weight_sum, exclude_weight_sum;                     // N
    matrix::Vector variable_fit_sum, in_fit_sum, out_fit_sum, in_yhat_sum, out_yhat_sum, out_yhat_fit_sum,
        out_fit_total;                                                          // K
    matrix::Vector xi_solo_sum, valid_count;                                    // N
    matrix::Vector twin_fit_sum, twin_yhat_sum;                                 // K
    std::vector<std::uint32_t> twin_count;                                      // K
    double size_fit_total = 0.0, n_fit_total = 0.0, yhat_fit_total = 0.0, adjusted_fit_total_sum = 0.0,
           fit_square_total = 0.0, second_moment_total = 0.0;
    bool has_solo_statistics = false;

    // Every sum zero.
    static GridCompositeAccumulator create(std::size_t n_observations, std::size_t n_attributes);
    // Adds `right` into this one, element by element.
    void merge(const GridCompositeAccumulator& right);
};

// Adds one combination cell: its predictions `yhat`, its results, its
// combination row, its solo statistics (when they hold a sigma) and its cell
// weights (streamed path).
void accumulate_grid_composite_stats(GridCompositeAccumulator& acc, matrix::VecView yhat,
                                     const results::PredictionResults& cell, ByteRow row,
                                     const results::SoloDistributionStatistics* solo,
                                     const insights::weights::psr_weights::CellAdjFitWeights* cell_weights);

}  // namespace toolbox::qel::models::grid::helpers

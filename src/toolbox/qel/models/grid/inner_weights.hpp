// What a streamed grid cell hands to the composite in place of its weight
// matrices.
#pragma once

#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::models::grid::inner_weights {

// Per observation, the cell's weights mixed over its thresholds by adjusted
// fit: what a grid cell contributes to the composite weights.
struct CellAdjFitWeights {
    matrix::Vector include;  // sum over k of w_in(i, k) * af_k * g_k
    matrix::Vector exclude;  // sum over k of w_ex(i, k) * af_k
};

}  // namespace toolbox::qel::models::grid::inner_weights

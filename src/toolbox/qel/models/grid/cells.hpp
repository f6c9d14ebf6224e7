// The retained per-cell details of a grid run: the matrices that the
// retained-objects option asks for, allocated before the first cell, and what
// each cell writes into its own row, column or slice of them.
#pragma once

#include <cstddef>
#include <span>

#include "toolbox/enums/enums.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/grid/setup.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::grid::helpers {

// Allocates the retained-cell matrices that the option asks for, all 0.0.
results::GridCellsData initialize_grid_cell_storage(std::span<const enums::CensorType> censors, std::size_t c,
                                                    std::size_t t, std::size_t k, std::size_t n,
                                                    const enums::RetainGridObjects& retain);

// One cell pass of combination j under `censor`, relevance or similarity
// (both, never a pass's censor type, stores nothing).
void store_grid_cell_details(results::GridCellsData& cells, enums::CensorType censor, std::size_t j,
                             matrix::VecView yhat, const results::PredictionResults& cell, ByteRow row);

}  // namespace toolbox::qel::models::grid::helpers

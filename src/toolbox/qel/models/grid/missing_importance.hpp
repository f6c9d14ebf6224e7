// Missing-value importance of a grid run: every column with missing values
// gets a noise twin (its observed values replaced by Gaussian noise of the
// column's own mean and spread, its holes kept), and every combination that
// uses the column is run again with the twin in its place. What the column
// adds beyond noise is then read against these twin runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "toolbox/enums/enums.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/models/grid/accumulator.hpp"
#include "toolbox/qel/models/grid/cell.hpp"
#include "toolbox/qel/models/grid/setup.hpp"

namespace toolbox::qel::models::grid::missing_importance {

// K entries; entry c holds the twin of column c when c is a hole column.
// Reproducible from X and the seed alone.
helpers::NoiseTwins precompute_garbage_columns(matrix::MatView x, std::span<const std::uint64_t> missing_columns,
                                               std::uint32_t seed);

// The twin runs of one combination (its selection `sel`) with column k
// replaced by its twin, one per censor pass, added to the accumulator's twin
// sums of k. Nothing when the combination selects no column or k has no twin.
Result<void> accumulate_one_fused_noise_twin(helpers::GridCompositeAccumulator& acc, const helpers::GridRunContext& ctx,
                                             const helpers::ComboSelection& sel, std::size_t k);

}  // namespace toolbox::qel::models::grid::missing_importance

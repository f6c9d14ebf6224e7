// Changes to a results object that several writers share.
#pragma once

#include <cstddef>

#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::results {

// Reduces every per-threshold part to threshold `g` in place (max-fit keeps
// one threshold). `thresholds`, `num_thresholds` and `maxfit_index` are the
// caller's to set; the per-observation insights, `y_solo`, the histogram
// summary, the grid insights and the grid cells are left as they are.
// An index beyond an array it reduces is an internal fault.
void select_threshold(PredictionResults& results, std::size_t g);

// The auxiliary part, created first (one element per current threshold: NaN,
// counts 0) when absent. An existing part is returned as it is.
PredictionAuxiliaryInfo& get_or_alloc_auxiliary(PredictionResults& results);

// The solo statistics, created first (all five vectors absent) when absent,
// together with the solo distribution itself when that is absent too.
SoloDistributionStatistics& get_or_alloc_solo_statistics(PredictionResults& results);

}  // namespace toolbox::qel::results

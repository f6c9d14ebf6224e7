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

// Per column of the N x T weights, the population standard deviation of the
// weights with NaN taken as 0.0 (T zeros when N = 0).
Vector weights_concentration_from_matrix(matrix::MatView weights);

// weights_concentration_from_matrix with, from the same pass over the
// weights, each column's plain sum and its sum of products with y, both over
// the rows in order: what the fit statistics and the predictions of
// materialised weights read first.
struct WeightColumnPasses {
    Vector concentration;
    Vector column_sums;
    Vector weighted_outcomes;
};
WeightColumnPasses weight_column_passes(matrix::MatView weights, matrix::VecView y);

// The same without the spread (`concentration` left empty): the two sums
// alone, for a caller that works the spread out in a pass of its own.
WeightColumnPasses weight_column_sums(matrix::MatView weights, matrix::VecView y);

}  // namespace toolbox::qel::results

// The counting half of the histograms of histogram.hpp: which bin each value
// falls into and the counts of the values a histogram keeps.
#pragma once

#include <cstddef>
#include <span>

#include "toolbox/matrix/array.hpp"

namespace toolbox::stats::histogram {

// The values a histogram keeps: every one (NaN included), or those in
// [lower, upper].
struct KeptRange {
    bool keep_all = true;
    double lower = 0.0;
    double upper = 0.0;

    bool keeps(double v) const { return keep_all || (lower <= v && v <= upper); }
};

// Per bin of the ascending `edges` and column of the weights (one row per
// value), the sum over the kept values in the bin, in row order, of their
// weight over the column's sum on the kept rows (the weight itself where
// that sum is not positive); NaN shares are not counted.
matrix::Matrix weight_share_counts(matrix::VecView values, matrix::MatView weights, const KeptRange& kept,
                                   std::span<const double> edges);

// Per bin of `edges`, the number of kept values in it (bins x 1).
matrix::Matrix value_counts(matrix::VecView values, const KeptRange& kept, std::span<const double> edges);

}  // namespace toolbox::stats::histogram

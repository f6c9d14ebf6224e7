// Histograms of a sample in which NaN marks a missing value: an
// interquartile rule that drops far outliers, bin edges chosen from the
// sample itself (Sturges' count, or more bins of the Freedman-Diaconis
// width), and the counts per bin, plain or weighted per column of weights.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "toolbox/matrix/array.hpp"

namespace toolbox::stats::histogram {

// The outlier factor of the solo-prediction histograms: a value more than
// this many interquartile ranges beyond the nearer quartile is dropped.
inline constexpr double kOutlierFactor = 5.0;

struct Histogram {
    matrix::Vector edges;    // bins + 1, ascending
    matrix::Vector centers;  // (edges_j + edges_j+1) * 0.5
    matrix::Vector widths;   // edges_j+1 - edges_j
    matrix::Matrix counts;   // bins x T with T columns of weights, bins x 1 without
};

// Per bin, the sum of the weights of the values that fall into it; bins are
// [edges_j, edges_j+1), the last one closed on the right. NaN values and NaN
// weights are not counted. Fewer than two edges give no bins.
matrix::Vector weighted_histogram_counts(std::span<const double> values, std::span<const double> weights,
                                         std::span<const double> edges);

// Which values lie within k interquartile ranges of the quartiles of the
// non-NaN values (all of them, NaN included, when the range is not positive).
matrix::BoolVector iqr_outlier_mask(matrix::VecView values, double k);

// Histogram edges for a sample sorted ascending (t >= 1 values).
matrix::Vector auto_bin_edges(std::span<const double> sorted);

// The histogram of the values that `iqr_outlier_mask` keeps, over
// `auto_bin_edges` of their ascending order: with weights (one row per
// value), column c counts each kept value's weight of column c over that
// column's sum on the kept rows when the sum is positive; without, each kept
// value counts 1. No value kept gives none. The order statistics are
// selected rather than sorted out, with the bits of the sorted copy.
std::optional<Histogram> trimmed_histogram(matrix::VecView values, std::optional<matrix::MatView> weights,
                                           double k);

}  // namespace toolbox::stats::histogram

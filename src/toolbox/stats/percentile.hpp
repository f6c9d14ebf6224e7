// Percentile ranks of scores and score values at percentiles, over data in
// which NaN marks a missing value.
//
// `percentile_value` has two algorithms that give the same values, chosen per
// call by the process-wide switch of percentile_algorithm.hpp: a full sort, or
// order statistics selected on shrinking prefixes of the unsorted data. They
// can differ only in the sign of a zero result when the data hold both -0.0
// and +0.0 (the selection orders -0.0 first, the stable sort keeps input order).
//
// Empty inputs that the callers never pass are internal faults.
#pragma once

#include <compare>

#include "toolbox/matrix/array.hpp"
#include "toolbox/stats/percentile_algorithm.hpp"

namespace toolbox::stats::percentile {

// The non-NaN values of `data` in input order.
matrix::Vector collect_non_nan(matrix::VecView data);

// The IEEE 754 total order: -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.
std::strong_ordering float_total_cmp(double a, double b) noexcept;

// For each query value v, ((equal * 0.5 + below) / L) * 100, with below and
// equal the counts of data values d < v and d == v, and L the length of
// `data` with its NaN entries (which count in neither comparison).
matrix::Vector percentile_rank(matrix::VecView data, matrix::VecView values);

// The value at each percentile (0 to 100) of the non-NaN data, by linear
// interpolation between order statistics. Percentiles above 100 (or +inf)
// give the largest value, negative ones, -inf and NaN the smallest; data of
// NaN only give NaN for every query. Reads the algorithm switch once.
matrix::Vector percentile_value(matrix::VecView data, matrix::VecView percentiles);

// The order-statistics algorithm of `percentile_value`.
matrix::Vector percentile_value_order_statistics(matrix::VecView data, matrix::VecView percentiles);

}  // namespace toolbox::stats::percentile

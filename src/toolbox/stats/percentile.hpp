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
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "toolbox/matrix/array.hpp"
#include "toolbox/stats/percentile_algorithm.hpp"

namespace toolbox::stats::percentile {

// Where percentile p falls among n ordered values: h = (p / 100) * (n - 1)
// and the floor and ceiling of h as indices (negative and NaN give 0, values
// beyond 2^64 the largest index).
struct Position {
    double h;
    std::uint64_t lo;
    std::uint64_t hi;
};

Position position(double p, std::size_t n) noexcept;

// The places of the n ordered values that `interpolate` reads at `pos`,
// added to `places`.
void add_places_read(const Position& pos, std::size_t n, std::vector<std::size_t>& places);

// The value at `pos` among n ordered values read through `at(place)`: the
// largest beyond the last place, the value itself at a whole place, else
// f * at(hi) + (1 - f) * at(lo) with f = h - lo (both products, then the sum).
template <class At>
double interpolate(const Position& pos, std::size_t n, At at) {
    if (pos.hi >= n) return at(n - 1);
    if (pos.lo == pos.hi) return at(pos.lo);
    const double f = pos.h - static_cast<double>(pos.lo);
    return f * at(pos.hi) + (1.0 - f) * at(pos.lo);
}

// Percentile p (0 to 100) of an ascending sample of n >= 1 values.
double percentile_from_sorted(std::span<const double> sorted, double p);

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

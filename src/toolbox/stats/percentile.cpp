#include "toolbox/stats/percentile.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "toolbox/count.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/order_statistics.hpp"
#include "toolbox/matrix/sorting.hpp"

namespace toolbox::stats::percentile {

using matrix::Vector;
using matrix::VecView;

namespace {

// A floor or ceiling converted to an index: negative values and NaN give 0,
// values beyond the largest 64-bit integer give that integer.
std::uint64_t to_index(double v) noexcept {
    if (!(v > 0.0)) return 0;
    if (v >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

// The percentile values of the non-NaN values of `data` placed in `order`:
// the order statistics each percentile falls between, selected without
// sorting the whole sample.
Vector percentile_values_in(VecView data, VecView percentiles, matrix::sorting::Order order) {
    require(!data.empty(), "Vector is empty");
    matrix::sorting::OrderStatistics sample(data, order);
    const std::size_t n = sample.size();
    Vector out = Vector::uninit(percentiles.size());
    if (n == 0) {
        out.fill(std::numeric_limits<double>::quiet_NaN());
        return out;
    }
    std::vector<Position> positions(percentiles.size());
    std::vector<std::size_t> needed;
    needed.reserve(2 * percentiles.size());
    for (std::size_t q = 0; q < percentiles.size(); ++q) {
        positions[q] = position(percentiles[q], n);
        add_places_read(positions[q], n, needed);
    }
    std::sort(needed.begin(), needed.end());
    needed.erase(std::unique(needed.begin(), needed.end()), needed.end());
    std::vector<double> selected(needed.size());
    sample.select(needed, selected);

    auto at = [&](std::uint64_t k) {
        const auto it = std::lower_bound(needed.begin(), needed.end(), k);
        return selected[static_cast<std::size_t>(it - needed.begin())];
    };
    for (std::size_t q = 0; q < percentiles.size(); ++q) out[q] = interpolate(positions[q], n, at);
    return out;
}

}  // namespace

Position position(double p, std::size_t n) noexcept {
    const double h = (p / 100.0) * static_cast<double>(n - 1);
    return {h, to_index(std::floor(h)), to_index(std::ceil(h))};
}

void add_places_read(const Position& pos, std::size_t n, std::vector<std::size_t>& places) {
    if (pos.hi < n) {
        places.push_back(pos.lo);
        places.push_back(pos.hi);
    } else {
        places.push_back(n - 1);
    }
}

double percentile_from_sorted(std::span<const double> sorted, double p) {
    require(!sorted.empty(), "percentile_from_sorted: empty sample");
    return interpolate(position(p, sorted.size()), sorted.size(), [&](std::size_t i) { return sorted[i]; });
}

std::strong_ordering float_total_cmp(double a, double b) noexcept {
    return matrix::sorting::total_order_key(a) <=> matrix::sorting::total_order_key(b);
}

Vector percentile_rank(VecView data, VecView values) {
    require(!values.empty(), "The supplied value array is empty.");
    require(!data.empty(), "The supplied vector is empty");
    const Vector d = Vector::from(data);
    const double L = static_cast<double>(d.size());
    Vector out = Vector::uninit(values.size());
    for (std::size_t q = 0; q < values.size(); ++q) {
        const double v = values[q];
        std::size_t below = 0, equal = 0;
        for (double x : d) {
            below += x < v;
            equal += x == v;
        }
        out[q] = ((static_cast<double>(equal) * 0.5 + static_cast<double>(below)) / L) * 100.0;
    }
    return out;
}

Vector percentile_value(VecView data, VecView percentiles) {
    // One read per call: a concurrent change of the switch affects only later calls.
    if (percentile_value_algorithm() == PercentileValueAlgorithm::OrderStatistics)
        return percentile_value_order_statistics(data, percentiles);
    // The elements of the stable ascending sort of the non-NaN values.
    return percentile_values_in(data, percentiles, matrix::sorting::Order::Stable);
}

Vector percentile_value_order_statistics(VecView data, VecView percentiles) {
    // Order statistics under the total order of the values, in which each
    // place holds one bit pattern.
    return percentile_values_in(data, percentiles, matrix::sorting::Order::Total);
}

}  // namespace toolbox::stats::percentile

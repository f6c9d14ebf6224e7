#include "toolbox/stats/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "toolbox/count.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/order_statistics.hpp"
#include "toolbox/matrix/sorting.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/stats/histogram_counts.hpp"
#include "toolbox/stats/percentile.hpp"

namespace toolbox::stats::histogram {

using matrix::BoolVector;
using matrix::MatView;
using matrix::Vector;
using matrix::VecView;
namespace pct = percentile;

namespace {

constexpr double kQuartiles[] = {25.0, 75.0};

// The places the quartiles of an ascending sample of n values read.
void add_quartile_places(std::size_t n, std::vector<std::size_t>& places) {
    for (double p : kQuartiles) pct::add_places_read(pct::position(p, n), n, places);
}

// Percentile p of an ascending sample of n values read through `at(place)`.
template <class At>
double percentile_at(std::size_t n, double p, At at) {
    return pct::interpolate(pct::position(p, n), n, at);
}

// The non-NaN values of `data` in ascending order (equal values in input
// order), read at a few places chosen beforehand: the elements the sorted
// copy holds there, selected without sorting the sample.
class SortedPlaces {
public:
    SortedPlaces(matrix::sorting::OrderStatistics& sample, std::vector<std::size_t> places)
        : places_(std::move(places)) {
        std::sort(places_.begin(), places_.end());
        places_.erase(std::unique(places_.begin(), places_.end()), places_.end());
        values_.resize(places_.size());
        sample.select(places_, values_);
    }
    double operator()(std::size_t place) const {
        const auto it = std::lower_bound(places_.begin(), places_.end(), place);
        require(it != places_.end() && *it == place, "sorted sample read at a place not selected");
        return values_[static_cast<std::size_t>(it - places_.begin())];
    }
    bool holds(const std::vector<std::size_t>& places) const {
        for (std::size_t p : places) {
            if (!std::binary_search(places_.begin(), places_.end(), p)) return false;
        }
        return true;
    }

private:
    std::vector<std::size_t> places_;
    std::vector<double> values_;
};

// How the interquartile rule splits a sample: the values it keeps, and how
// many present values lie below and within its bounds.
struct OutlierSplit {
    KeptRange range;          // no bounds: every entry is kept, NaN included
    std::size_t present = 0;  // non-NaN values
    std::size_t below = 0;    // present values below the lower bound
    std::size_t kept = 0;     // entries kept
};

// `sorted` receives the places read for the quartiles and, since the
// histogram's edges usually need no others, the smallest and the largest.
OutlierSplit outlier_split(VecView values, matrix::sorting::OrderStatistics& sample, double k,
                           std::optional<SortedPlaces>& sorted_out) {
    OutlierSplit split;
    const std::size_t n = values.size();
    split.kept = n;
    split.present = sample.size();
    const std::size_t m = split.present;
    if (m == 0) return split;
    std::vector<std::size_t> places{0, m - 1};
    add_quartile_places(m, places);
    const SortedPlaces& sorted = sorted_out.emplace(sample, std::move(places));
    const double q25 = percentile_at(m, 25.0, sorted);
    const double q75 = percentile_at(m, 75.0, sorted);
    const double iqr = q75 - q25;
    if (!(iqr > 0.0)) return split;
    KeptRange& range = split.range;
    range.keep_all = false;
    range.lower = q25 - k * iqr;
    range.upper = q75 + k * iqr;
    // Whole numbers: the blocks' counts add up exactly in any order.
    const std::size_t blocks = n >= parallel::kParallelRowsFrom ? (n + parallel::kRowsPerBlock - 1) / parallel::kRowsPerBlock : 1;
    std::vector<std::pair<std::size_t, std::size_t>> counted(blocks);
    parallel::for_row_blocks(n, [&](std::size_t first, std::size_t last) {
        std::size_t below = 0, kept = 0;
        for (std::size_t i = first; i < last; ++i) {
            const double v = values[i];
            below += v < range.lower;
            kept += range.lower <= v && v <= range.upper;
        }
        counted[blocks > 1 ? first / parallel::kRowsPerBlock : 0] = {below, kept};
    });
    split.kept = 0;
    for (const auto& [below, kept] : counted) {
        split.below += below;
        split.kept += kept;
    }
    return split;
}

// auto_bin_edges of a sample of t values read through `at(place)`.
template <class At>
Vector auto_bin_edges_at(std::size_t t, At at) {
    require(t >= 1, "auto_bin_edges: empty sample");
    const double min = at(0);
    const double max = at(t - 1);
    if (min == max) return Vector{min - 0.5, max + 0.5};

    const double t_d = static_cast<double>(t);
    const auto sturges = static_cast<std::uint64_t>(std::ceil(std::log2(t_d))) + 1;
    const double q25 = percentile_at(t, 25.0, at);
    const double q75 = percentile_at(t, 75.0, at);
    const double iqr = q75 - q25;
    std::uint64_t bins = sturges;
    if (iqr > 0.0) {
        const double h = (2.0 * iqr) / std::cbrt(t_d);
        if (h > 0.0) {
            const double f = std::ceil((max - min) / h);
            // 2^64: beyond it a bin count has no meaning; a negative count
            // (a sample whose NaN left it out of order) counts as none.
            if (f < kTwoTo64) {
                const std::uint64_t fb = f > 0.0 ? static_cast<std::uint64_t>(f) : 0;
                bins = std::max(sturges, fb);
            }
        }
    }
    bins = std::min<std::uint64_t>(bins, t);

    const double width = (max - min) / static_cast<double>(bins);
    Vector edges = Vector::uninit(bins + 1);
    for (std::uint64_t i = 0; i <= bins; ++i) edges[i] = static_cast<double>(i) * width + min;
    edges[bins] = max;
    return edges;
}

// The edges for the kept values, from the places of their ascending order
// that the edges read. Kept values without NaN are a run of the sorted
// present values (those from `below` on), so their order statistics are
// selected from the whole sample. Kept NaN (when the rule kept everything)
// sorts as equal to every value, which only a sort of the kept copy settles.
Vector kept_bin_edges(VecView values, matrix::sorting::OrderStatistics& sample, const OutlierSplit& split,
                      const std::optional<SortedPlaces>& known) {
    const std::size_t t = split.kept;
    if (split.range.keep_all && split.present != values.size()) {
        Vector sorted = Vector::uninit(t);
        for (std::size_t i = 0; i < t; ++i) sorted[i] = values[i];
        matrix::sorting::stable_sort_nan_equal(sorted.span());
        return auto_bin_edges(sorted.span());
    }
    std::vector<std::size_t> places{0, t - 1};
    add_quartile_places(t, places);
    for (std::size_t& p : places) p += split.below;
    if (known && known->holds(places)) {
        return auto_bin_edges_at(t, [&](std::size_t p) { return (*known)(split.below + p); });
    }
    const SortedPlaces sorted(sample, std::move(places));
    return auto_bin_edges_at(t, [&](std::size_t p) { return sorted(split.below + p); });
}

}  // namespace

BoolVector iqr_outlier_mask(VecView values, double k) {
    std::optional<SortedPlaces> sorted;
    matrix::sorting::OrderStatistics sample(values, matrix::sorting::Order::Stable);
    const OutlierSplit split = outlier_split(values, sample, k, sorted);
    BoolVector keep = BoolVector::uninit(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) keep[i] = split.range.keeps(values[i]);
    return keep;
}

Vector auto_bin_edges(std::span<const double> sorted) {
    return auto_bin_edges_at(sorted.size(), [&](std::size_t i) { return sorted[i]; });
}

std::optional<Histogram> trimmed_histogram(VecView values, std::optional<MatView> weights, double k) {
    require(!weights || weights->rows() == values.size(), "histogram weights differ from the values in length");
    matrix::sorting::OrderStatistics sample(values, matrix::sorting::Order::Stable);
    std::optional<SortedPlaces> sorted;
    const OutlierSplit split = outlier_split(values, sample, k, sorted);
    if (split.kept == 0) return std::nullopt;

    Histogram out;
    out.edges = kept_bin_edges(values, sample, split, sorted);
    const std::size_t bins = out.edges.size() - 1;
    out.centers = Vector::uninit(bins);
    out.widths = Vector::uninit(bins);
    for (std::size_t j = 0; j < bins; ++j) {
        out.centers[j] = (out.edges[j] + out.edges[j + 1]) * 0.5;
        out.widths[j] = out.edges[j + 1] - out.edges[j];
    }
    out.counts = weights ? weight_share_counts(values, *weights, split.range, out.edges.span())
                         : value_counts(values, split.range, out.edges.span());
    return out;
}

}  // namespace toolbox::stats::histogram

#include "toolbox/stats/histogram_counts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/matrix/lanes.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/stats/histogram.hpp"
#include "toolbox/simd.hpp"

namespace toolbox::stats::histogram {

namespace lanes = matrix::lanes;
using matrix::Matrix;
using matrix::MatView;
using matrix::Vector;
using matrix::VecView;

namespace {

// The bin of a value that falls into none.
constexpr std::size_t kNoBin = SIZE_MAX;

// The bin of each value.
using BinIndex = matrix::Array1<std::size_t>;

// A listed row of a block of rows, with its bin: its place in the block in
// the low bits, its bin above them, so that a list takes no more memory than
// the rows' bins do.
struct Listed {
    static constexpr unsigned kPlaceBits = 16;
    static_assert(parallel::kRowsPerBlock <= std::size_t{1} << kPlaceBits);
    // No histogram comes near this many bins.
    static constexpr std::size_t kMaxBins = std::size_t{1} << (64 - kPlaceBits);

    std::uint64_t packed;

    Listed() = default;
    Listed(std::size_t place, std::size_t bin) : packed(std::uint64_t{bin} << kPlaceBits | place) {}
    std::size_t place() const noexcept { return packed & ((std::uint64_t{1} << kPlaceBits) - 1); }
    std::size_t bin() const noexcept { return packed >> kPlaceBits; }
};

// At most this many ranges of bins go to the pool side by side.
constexpr std::size_t kMaxRanges = 64;

}  // namespace

// The vector kernels, each with a copy per instruction set (toolbox/simd.hpp).
namespace kernels {

// How many rows of a list ahead WeightShares asks for the rows' weights.
constexpr std::size_t kListAhead = 16;

// counts(bin_i, c) += w_ic / sums_c (w_ic itself where sums_c is not
// positive) for the rows in order (all of them, by `bin`, or the listed ones
// of the block from row `block_first` on, with their bins) whose bin lies in
// [first_bin, end_bin), NaN shares left out.
template <std::size_t NV>
struct WeightShares {
    [[gnu::always_inline]] static void run(const lanes::Block& b, MatView weights, const BinIndex* bin,
                                           std::span<const Listed> listed, std::size_t block_first,
                                           const Vector& sums, matrix::MatMut counts, std::size_t first_bin,
                                           std::size_t end_bin) {
        using lanes::v4d;
        using lanes::v4l;
        const v4d zero = {0.0, 0.0, 0.0, 0.0};
        v4d s[NV];
        // The lanes this block owns; the others (columns of the group before,
        // read again by an overlapping last group) add +0.0, which leaves a
        // count as it is (counts start at +0.0 and so never hold -0.0).
        v4l own[NV];
        for (std::size_t g = 0; g < NV; ++g) {
            s[g] = lanes::gather(b, sums.data(), g);
            for (std::size_t j = 0; j < lanes::kLanes; ++j) own[g][j] = b.stores(g, j) ? -1 : 0;
        }
        const std::size_t span = end_bin - first_bin;
        const std::size_t n_rows = bin ? weights.rows() : listed.size();
        for (std::size_t r = 0; r < n_rows; ++r) {
            const std::size_t i = bin ? r : block_first + listed[r].place();
            const std::size_t bin_i = bin ? (*bin)[r] : listed[r].bin();
            // A list's rows lie apart, at no stride the processor could
            // follow: their weights are asked for a few rows ahead.
            if (!bin && r + kListAhead < n_rows)
                __builtin_prefetch(weights.row(block_first + listed[r + kListAhead].place()).data());
            // kNoBin lies past every range.
            if (bin_i - first_bin >= span) continue;
            const double* w = weights.row(i).data();
            double* row = counts.row(bin_i).data();
            for (std::size_t g = 0; g < NV; ++g) {
                const v4d x = lanes::load(b, w, g);
                v4d share = s[g] > zero ? x / s[g] : x;
                share = share == share ? share : zero;
                share = own[g] ? share : zero;
                lanes::store_row(b, row, g, lanes::load(b, row, g) + share);
            }
        }
    }
};

void add_weight_shares(MatView weights, const BinIndex* bin, std::span<const Listed> listed, std::size_t block_first,
                       const Vector& sums, matrix::MatMut counts, std::size_t first_bin, std::size_t end_bin) {
    // One group of four columns at a time: a row's bin row of the counts is
    // read and written whole, and the last group of a width that is not a
    // multiple of four overlaps the one before it.
    simd::run<lanes::OverColumns<WeightShares, 1>>(weights.cols(), weights, bin, listed, block_first, sums, counts,
                                                   first_bin, end_bin);
}

// Each column's plain sum over the kept rows, in row order.
template <std::size_t NV>
struct KeptColumnSums {
    [[gnu::always_inline]] static void run(const lanes::Block& b, MatView weights, VecView values, bool keep_all,
                                           double lower, double upper, double* sums) {
        lanes::v4d s[NV] = {};
        for (std::size_t i = 0; i < weights.rows(); ++i) {
            const double v = values[i];
            if (!keep_all && !(lower <= v && v <= upper)) continue;
            const double* w = weights.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) s[g] = s[g] + lanes::load(b, w, g);
        }
        for (std::size_t g = 0; g < NV; ++g) lanes::store(b, g, s[g], sums);
    }
};

void kept_column_sums(MatView weights, VecView values, bool keep_all, double lower, double upper, double* sums) {
    simd::run<lanes::OverColumns<KeptColumnSums, 2>>(weights.cols(), weights, values, keep_all, lower, upper, sums);
}

}  // namespace kernels

namespace {

// The bin of a value (kNoBin for NaN and values outside the edges): bins are
// [edges_j, edges_j+1), the last one closed on the right.
class BinFinder {
public:
    explicit BinFinder(std::span<const double> edges) : edges_(edges), bins_(edges.size() - 1) {
        // For ascending edges the first bin with edges_j <= v < edges_j+1 is
        // the one before the first edge above v. Edges that are not ascending
        // (NaN from a sample of NaN) keep the first-match scan, which stays
        // defined for them.
        for (std::size_t j = 0; j < edges.size(); ++j) {
            if (std::isnan(edges[j]) || (j > 0 && edges[j] < edges[j - 1])) {
                ascending_ = false;
                break;
            }
        }
        // The edges are equally spaced from the first: a value's place among
        // them is close to (v - first) / spacing, which the search then
        // confirms or corrects, so the result is the search's exactly.
        per_bin_ = static_cast<double>(bins_) / (edges.back() - edges.front());
    }

    std::size_t operator()(double v) const {
        if (std::isnan(v)) return kNoBin;
        if (v == edges_.back()) return bins_ - 1;
        if (!ascending_) {
            for (std::size_t j = 0; j < bins_; ++j) {
                if (edges_[j] <= v && v < edges_[j + 1]) return j;
            }
            return kNoBin;
        }
        return ascending_bin(v);
    }

private:
    // The bin before the first edge above v (none before the first edge or
    // past the last).
    std::size_t ascending_bin(double v) const {
        const double guess = (v - edges_.front()) * per_bin_;
        if (guess >= 0.0 && guess < static_cast<double>(bins_)) {
            // The bin j with edges_j <= v < edges_j+1, if it is the guess or
            // next to it.
            std::size_t j = static_cast<std::size_t>(guess);
            if (v < edges_[j] && j > 0) --j;
            else if (v >= edges_[j + 1] && j + 1 < bins_) ++j;
            if (edges_[j] <= v && v < edges_[j + 1]) return j;
        }
        const std::size_t e = edges_.size();
        const auto u = static_cast<std::size_t>(std::upper_bound(edges_.begin(), edges_.end(), v) - edges_.begin());
        return (u != 0 && u != e) ? u - 1 : kNoBin;
    }

    std::span<const double> edges_;
    std::size_t bins_;
    double per_bin_ = 0.0;
    bool ascending_ = true;
};

BinIndex bin_indices(std::span<const double> values, std::span<const double> edges) {
    const BinFinder bin_of(edges);
    BinIndex index = BinIndex::uninit(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) index[i] = bin_of(values[i]);
    return index;
}

// Bins [0, bins) cut into at most `parts` consecutive ranges that hold about
// as many kept rows each, judged from a sample of the rows; returns the
// ranges' bounds, from 0 to bins.
template <class BinOf, class Keeps>
std::vector<std::size_t> bin_ranges(VecView values, std::size_t bins, std::size_t parts, BinOf bin_of, Keeps keeps) {
    const std::size_t n = values.size();
    const std::size_t every = std::max<std::size_t>(1, n / 4096);
    std::vector<std::size_t> sample;
    for (std::size_t i = 0; i < n; i += every) {
        if (!keeps(values[i])) continue;
        const std::size_t b = bin_of(values[i]);
        if (b != kNoBin) sample.push_back(b);
    }
    std::sort(sample.begin(), sample.end());
    std::vector<std::size_t> bounds{0};
    parts = std::max<std::size_t>(1, parts);
    for (std::size_t p = 1; p < parts && !sample.empty(); ++p) {
        const std::size_t b = sample[sample.size() * p / parts];
        if (b > bounds.back() && b < bins) bounds.push_back(b);
    }
    bounds.push_back(bins);
    return bounds;
}

// The range of `bounds` that holds bin b; kNoBin in none (past the last):
// how many of the bounds after the first are at or below b. A count, not a
// search: which range a row's bin falls in follows no pattern, and a search's
// branches would be mispredicted on every other row.
std::size_t range_of(const std::vector<std::size_t>& bounds, std::size_t b) {
    std::size_t r = 0;
    for (std::size_t j = 1; j < bounds.size(); ++j) r += bounds[j] <= b;
    return r;
}

// Adds the weights of each bin in value order (NaN weights are not counted).
template <class WeightAt>
void accumulate_bins(const BinIndex& index, std::size_t m, WeightAt weight_at, double* counts,
                     std::size_t stride) {
    for (std::size_t i = 0; i < m; ++i) {
        const double w = weight_at(i);
        if (index[i] == kNoBin || std::isnan(w)) continue;
        counts[index[i] * stride] += w;
    }
}

}  // namespace

Vector weighted_histogram_counts(std::span<const double> values, std::span<const double> weights,
                                 std::span<const double> edges) {
    if (edges.size() < 2) return Vector();
    Vector counts(edges.size() - 1);
    const auto index = bin_indices(values, edges);
    accumulate_bins(index, std::min(values.size(), weights.size()), [&](std::size_t i) { return weights[i]; },
                    counts.data(), 1);
    return counts;
}

Matrix weight_share_counts(VecView values, MatView weights, const KeptRange& kept, std::span<const double> edges) {
    // Each kept row's weights, rescaled by their column's sum over the kept
    // rows when it is positive, go to the row's bin; every bin and column
    // adds them in row order, as a kept copy would. The columns' sums (in
    // row order) and every row's bin (each row on its own, on the pool for
    // many rows) are independent of each other.
    const std::size_t n = values.size();
    const std::size_t bins = edges.size() - 1;
    const std::size_t cols = weights.cols();
    const BinFinder bin_of(edges);
    Vector sums(cols);
    BinIndex bin = BinIndex::uninit(n);
    Matrix counts(bins, cols);
    if (n < parallel::kParallelRowsFrom) {
        kernels::kept_column_sums(weights, values, kept.keep_all, kept.lower, kept.upper, sums.data());
        for (std::size_t i = 0; i < n; ++i) {
            const double v = values[i];
            bin[i] = kept.keeps(v) ? bin_of(v) : kNoBin;
        }
        kernels::add_weight_shares(weights, &bin, {}, 0, sums, counts.view_mut(), 0, bins);
        return counts;
    }
    // Every bin's counts take its rows in order, and bins apart are apart
    // sums: ranges of bins go to the pool side by side, each taking its rows
    // block by block of rows. One pass over the blocks, beside the one chain
    // of the columns' sums, finds every row's bin and lists each block's
    // kept rows, with their bins, by range in the block's own stretch.
    require(bins < Listed::kMaxBins, "histogram: more bins than a list can name");
    const std::vector<std::size_t> bounds = bin_ranges(values, bins, std::min(parallel::worker_count(), kMaxRanges),
                                                       bin_of, [&](double v) { return kept.keeps(v); });
    const std::size_t ranges = bounds.size() - 1;
    const std::size_t blocks = (n + parallel::kRowsPerBlock - 1) / parallel::kRowsPerBlock;
    matrix::Array1<Listed> listed = matrix::Array1<Listed>::uninit(n);
    // Where each block's list of each range starts and, last, where the
    // block's lists end.
    matrix::Array1<std::size_t> starts = matrix::Array1<std::size_t>::uninit(blocks * (ranges + 1));
    parallel::join(
        [&] { kernels::kept_column_sums(weights, values, kept.keep_all, kept.lower, kept.upper, sums.data()); },
        [&] {
            parallel::for_row_blocks(n, [&](std::size_t first, std::size_t last) {
                std::size_t* start = starts.data() + first / parallel::kRowsPerBlock * (ranges + 1);
                std::fill_n(start, ranges + 1, std::size_t{0});
                for (std::size_t i = first; i < last; ++i) {
                    const double v = values[i];
                    bin[i] = kept.keeps(v) ? bin_of(v) : kNoBin;
                    const std::size_t r = range_of(bounds, bin[i]);
                    if (r < ranges) ++start[r + 1];
                }
                start[0] = first;
                for (std::size_t r = 1; r <= ranges; ++r) start[r] += start[r - 1];
                // The rows, in order, from where their range's list starts;
                // each start moves on to the next list's start.
                std::size_t next[kMaxRanges];
                std::copy_n(start, ranges, next);
                for (std::size_t i = first; i < last; ++i) {
                    const std::size_t r = range_of(bounds, bin[i]);
                    if (r < ranges) listed[next[r]++] = Listed(i - first, bin[i]);
                }
            });
        });
    parallel::parallel_for(0, ranges, 1, [&](std::size_t r) {
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t* start = starts.data() + b * (ranges + 1);
            const std::span<const Listed> list(listed.data() + start[r], start[r + 1] - start[r]);
            if (!list.empty())
                kernels::add_weight_shares(weights, nullptr, list, b * parallel::kRowsPerBlock, sums,
                                           counts.view_mut(), bounds[r], bounds[r + 1]);
        }
    });
    return counts;
}

Matrix value_counts(VecView values, const KeptRange& kept, std::span<const double> edges) {
    const BinFinder bin_of(edges);
    Matrix counts(edges.size() - 1, 1);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        if (!kept.keeps(v)) continue;
        const std::size_t b = bin_of(v);
        if (b != kNoBin) counts(b, 0) += 1.0;
    }
    return counts;
}

}  // namespace toolbox::stats::histogram

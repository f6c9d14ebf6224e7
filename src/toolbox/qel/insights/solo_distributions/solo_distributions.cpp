#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "toolbox/matrix/sorting.hpp"
#include "toolbox/matrix/lanes.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/stats/modality.hpp"
#include "toolbox/target_clones.hpp"

namespace toolbox::qel::insights::solo_distributions {

using matrix::BoolMatView;
using matrix::BoolVector;
using matrix::Matrix;
using matrix::MatView;
using matrix::Vector;
using matrix::VecView;
namespace lanes = matrix::lanes;

namespace {

constexpr double kRelevanceEps = 1e-8;
constexpr double kNormaliserEps = 1e-8;
constexpr double kSigmaEps = 1e-12;
// The bin of a value that falls into none.
constexpr std::size_t kNoBin = SIZE_MAX;

// The bin of each value, and a list of rows.
using BinIndex = matrix::Array1<std::size_t>;
using RowList = matrix::Array1<std::size_t>;

// Floor or ceiling of a position as an index: negative and NaN give 0, and
// the index never passes the last element.
std::size_t capped_index(double v, std::size_t last) {
    if (!(v > 0.0)) return 0;
    if (v >= static_cast<double>(last)) return last;
    return static_cast<std::size_t>(v);
}

}  // namespace

// The vector kernels, each compiled for several instruction sets. They live
// outside the unnamed namespace: clang builds such a function correctly only
// when it has external linkage.
namespace kernels {

QEL_TARGET_CLONES("avx2", "default")
void y_solo_rows(std::size_t first, std::size_t last, VecView y, VecView relevance_scores, VecView info_theta,
                 double ybar, double* y_solo) {
    const bool scalar_theta = info_theta.size() == 1;
    for (std::size_t i = first; i < last; ++i) {
        const double r = relevance_scores[i];
        const double th = scalar_theta ? info_theta[0] : info_theta[i];
        const bool negligible = std::fabs(r) < kRelevanceEps;
        const double ratio = negligible ? 0.0 : th / r;
        const double t = ratio * (y[i] - ybar) + ybar;
        // Set explicitly: an observation without relevance sits at the mean
        // even when its own outcome is NaN or infinite.
        y_solo[i] = negligible ? ybar : t;
    }
}

// d[k] = the sum over the rows in order of (include ? v_i : 0.0), v_i = r_i^2:
// an excluded row adds an exact 0, even when its score is NaN.
template <std::size_t NV>
struct RetainedSquares {
    [[gnu::always_inline]] static void run(const lanes::Block& b, BoolMatView include, VecView r, double* d) {
        using lanes::v4d;
        const v4d one = {1.0, 1.0, 1.0, 1.0};
        const v4d zero = {0.0, 0.0, 0.0, 0.0};
        v4d acc[NV] = {};
        for (std::size_t i = 0; i < include.rows(); ++i) {
            const bool* row = include.row(i).data();
            const double v = r[i] * r[i];
            const v4d vv = {v, v, v, v};
            for (std::size_t g = 0; g < NV; ++g) acc[g] += lanes::load_flags(b, row, g) == one ? vv : zero;
        }
        for (std::size_t g = 0; g < NV; ++g) lanes::store(b, g, acc[g], d);
    }
};

// xi = NaN where the weight or the normaliser is NaN, else the weight over
// a normaliser above the tolerance, else 0.
template <std::size_t NV>
struct SoloWeightRows {
    [[gnu::always_inline]] static void run(const lanes::Block& b, std::size_t first, std::size_t last,
                                           BoolMatView include, VecView r, const double* d, matrix::MatMut xi) {
        using lanes::v4d;
        const v4d one = {1.0, 1.0, 1.0, 1.0};
        const v4d zero = {0.0, 0.0, 0.0, 0.0};
        const double nan = std::nan("");
        const v4d nanv = {nan, nan, nan, nan};
        v4d dk[NV], divisible[NV];
        for (std::size_t g = 0; g < NV; ++g) {
            dk[g] = lanes::gather(b, d, g);
            for (std::size_t j = 0; j < lanes::kLanes; ++j) divisible[g][j] = std::fabs(dk[g][j]) > kNormaliserEps;
        }
        for (std::size_t i = first; i < last; ++i) {
            const bool* row = include.row(i).data();
            const double v = r[i] * r[i];
            const v4d vv = {v, v, v, v};
            double* out = xi.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) {
                const v4d w = lanes::load_flags(b, row, g) == one ? vv : zero;
                const v4d share = divisible[g] == one ? w / dk[g] : zero;
                lanes::store_row(b, out, g, ((w != w) | (dk[g] != dk[g])) ? nanv : share);
            }
        }
    }
};

QEL_TARGET_CLONES("avx2", "default") Vector retained_squares(BoolMatView include, VecView r) {
    Vector d(include.cols());
    lanes::over_columns<RetainedSquares>(include.cols(), include, r, d.data());
    return d;
}

QEL_TARGET_CLONES("avx2", "default")
void solo_weight_rows(std::size_t first, std::size_t last, BoolMatView include, VecView r, const Vector& d,
                      matrix::MatMut xi) {
    lanes::over_columns<SoloWeightRows>(include.cols(), first, last, include, r, d.data(), xi);
}

// The weighted moments' running sums: an observation with no weight adds
// +0.0 to each (see compute_solo_statistics).
template <std::size_t NV>
struct SoloMoments {
    [[gnu::always_inline]] static void run(const lanes::Block& b, VecView y_solo, MatView xi, const double* yhat,
                                           double* sw, double* m2, double* m3, double* m4) {
        using lanes::v4d;
        const v4d zero = {0.0, 0.0, 0.0, 0.0};
        v4d yh[NV], s0[NV] = {}, s2[NV] = {}, s3[NV] = {}, s4[NV] = {};
        for (std::size_t g = 0; g < NV; ++g) yh[g] = lanes::gather(b, yhat, g);
        for (std::size_t i = 0; i < xi.rows(); ++i) {
            const double* row = xi.row(i).data();
            const double ys = y_solo[i];
            for (std::size_t g = 0; g < NV; ++g) {
                const v4d w = lanes::load(b, row, g);
                const auto none = w == zero;
                const v4d d = ys - yh[g];
                const v4d d2 = d * d;
                const v4d d3 = d2 * d;
                const v4d d4 = d3 * d;
                s0[g] += none ? zero : w;
                s2[g] += none ? zero : w * d2;
                s3[g] += none ? zero : w * d3;
                s4[g] += none ? zero : w * d4;
            }
        }
        for (std::size_t g = 0; g < NV; ++g) {
            lanes::store(b, g, s0[g], sw);
            lanes::store(b, g, s2[g], m2);
            lanes::store(b, g, s3[g], m3);
            lanes::store(b, g, s4[g], m4);
        }
    }
};

QEL_TARGET_CLONES("avx2", "default")
void solo_moments(VecView y_solo, MatView xi, VecView yhat, Vector& sw, Vector& m2, Vector& m3, Vector& m4) {
    const Vector yh = Vector::from(yhat);
    // Four running sums per column: two groups at a time stay in registers.
    lanes::over_columns<SoloMoments, 2>(xi.cols(), y_solo, xi, yh.data(), sw.data(), m2.data(), m3.data(), m4.data());
}


// counts(bin_i, c) += w_ic / sums_c (w_ic itself where sums_c is not
// positive) for the rows in order (all of them, or those of `rows`) whose
// bin lies in [first_bin, end_bin), NaN shares left out.
template <std::size_t NV>
struct WeightShares {
    [[gnu::always_inline]] static void run(const lanes::Block& b, MatView xi, const BinIndex& bin,
                                           const Vector& sums, matrix::MatMut counts, std::size_t first_bin,
                                           std::size_t end_bin, const RowList* rows) {
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
        const std::size_t n_rows = rows ? rows->size() : xi.rows();
        for (std::size_t r = 0; r < n_rows; ++r) {
            const std::size_t i = rows ? (*rows)[r] : r;
            // kNoBin lies past every range.
            if (bin[i] - first_bin >= span) continue;
            const double* w = xi.row(i).data();
            double* row = counts.row(bin[i]).data();
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

QEL_TARGET_CLONES("avx2", "default")
void add_weight_shares(MatView xi, const BinIndex& bin, const Vector& sums, matrix::MatMut counts,
                       std::size_t first_bin, std::size_t end_bin, const RowList* rows) {
    // One group of four columns at a time: a row's bin row of the counts is
    // read and written whole, and the last group of a width that is not a
    // multiple of four overlaps the one before it.
    lanes::over_columns<WeightShares, 1>(xi.cols(), xi, bin, sums, counts, first_bin, end_bin, rows);
}

// Each column's plain sum over the kept rows, in row order.
template <std::size_t NV>
struct KeptColumnSums {
    [[gnu::always_inline]] static void run(const lanes::Block& b, MatView xi, VecView y_solo, bool keep_all,
                                           double lower, double upper, double* sums) {
        lanes::v4d s[NV] = {};
        for (std::size_t i = 0; i < xi.rows(); ++i) {
            const double v = y_solo[i];
            if (!keep_all && !(lower <= v && v <= upper)) continue;
            const double* w = xi.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) s[g] = s[g] + lanes::load(b, w, g);
        }
        for (std::size_t g = 0; g < NV; ++g) lanes::store(b, g, s[g], sums);
    }
};

QEL_TARGET_CLONES("avx2", "default")
void kept_column_sums(MatView xi, VecView y_solo, bool keep_all, double lower, double upper, double* sums) {
    lanes::over_columns<KeptColumnSums, 2>(xi.cols(), xi, y_solo, keep_all, lower, upper, sums);
}

}  // namespace kernels

Vector estimate_y_solo(VecView y, VecView relevance_scores, VecView info_theta, double ybar) {
    const std::size_t n = y.size();
    Vector y_solo = Vector::uninit(n);
    parallel::for_row_blocks(n, [&](std::size_t first, std::size_t last) {
        kernels::y_solo_rows(first, last, y, relevance_scores, info_theta, ybar, y_solo.data());
    });
    return y_solo;
}

Matrix estimate_solo_weights(VecView relevance_scores, BoolMatView include) {
    const std::size_t n = include.rows();
    const std::size_t t = include.cols();
    const Vector d = kernels::retained_squares(include, relevance_scores);
    Matrix xi = Matrix::uninit(n, t);
    parallel::for_row_blocks(n, [&](std::size_t first, std::size_t last) {
        kernels::solo_weight_rows(first, last, include, relevance_scores, d, xi.view_mut());
    });
    return xi;
}

Result<SoloDistributionParts> compute_solo_distribution(VecView y, VecView relevance_scores, BoolMatView include,
                                                        VecView info_theta) {
    const std::size_t n = y.size();
    if (relevance_scores.size() != n) {
        return compute_error("y and relevance_scores must have the same number of observations (N)");
    }
    if (include.rows() != n) return compute_error("y and include must have the same number of observations (N)");
    if (info_theta.size() != 1 && info_theta.size() != n) {
        return compute_error("info_theta must be a scalar or have the same number of observations as y (N)");
    }
    if (n == 0) return compute_error("Cannot compute mean of y");
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += y[i];
    const double ybar = sum / static_cast<double>(n);

    SoloDistributionParts parts;
    parts.y_solo = estimate_y_solo(y, relevance_scores, info_theta, ybar);
    parts.xi_solo = estimate_solo_weights(relevance_scores, include);
    return parts;
}

Result<SoloStatistics> compute_solo_statistics(VecView y_solo, MatView xi_solo, VecView yhat) {
    const std::size_t n = y_solo.size();
    const std::size_t t = xi_solo.cols();
    if (xi_solo.rows() != n) return compute_error("y_solo and xi_solo must have the same number of observations (N)");
    if (yhat.size() != t) return compute_error("yhat must have the same number of elements as thresholds (T)");

    // Per row and threshold: d = y_solo - yhat, d2 = d * d, d3 = d2 * d,
    // d4 = d3 * d; sw += w, m2 += w * d2, m3 += w * d3, m4 += w * d4, rows in
    // order. An observation with no weight has no say in a weighted moment:
    // leaving it out keeps a missing attribute (NaN solo prediction, weight 0)
    // from turning every moment into NaN. A NaN weight is not 0 and still
    // propagates. Left out by adding +0.0 (a select, not a branch): the sums
    // start at +0.0, never hold -0.0, and adding +0.0 leaves them as they are.
    Vector sw(t), m2(t), m3(t), m4(t);
    kernels::solo_moments(y_solo, xi_solo, yhat, sw, m2, m3, m4);

    SoloStatistics out{Vector::uninit(t), Vector::uninit(t), Vector::uninit(t)};
    const double nan = std::nan("");
    for (std::size_t k = 0; k < t; ++k) {
        const bool positive = sw[k] > 0.0;
        const double sigma = positive ? std::sqrt(m2[k] / sw[k]) : 0.0;
        double c3 = 1.0;
        double c4 = 1.0;
        if (std::fabs(sigma) > kSigmaEps) {
            c3 = (sigma * sigma) * sigma;
            c4 = ((sigma * sigma) * sigma) * sigma;
        }
        out.sigma[k] = sigma;
        out.skewness[k] = positive ? (m3[k] / sw[k]) / c3 : nan;
        out.kurtosis[k] = positive ? (m4[k] / sw[k]) / c4 : nan;
    }
    return out;
}

Result<results::SoloDistributionStatistics> solo_statistics_record(VecView y_solo, MatView xi_solo, VecView yhat) {
    auto st = compute_solo_statistics(y_solo, xi_solo, yhat);
    if (!st) return std::unexpected(std::move(st.error()));
    results::SoloDistributionStatistics out;
    out.ysolo_pearson_modality_index = stats::modality::pearson_modality_index(st->skewness.view(), st->kurtosis.view());
    out.ysolo_bimodal_index = stats::modality::bimodality_coefficient(st->skewness.view(), st->kurtosis.view());
    out.ysolo_sigma = std::move(st->sigma);
    out.ysolo_skewness = std::move(st->skewness);
    out.ysolo_kurtosis = std::move(st->kurtosis);
    return out;
}

namespace {

// Where percentile p falls in an ascending sample of n values: the two places
// it lies between and the share of the upper one.
struct Quantile {
    std::size_t lo;
    std::size_t hi;
    double frac;
};

Quantile quantile_places(std::size_t n, double p) {
    const double pos = (p / 100.0) * static_cast<double>(n - 1);
    const std::size_t lo = capped_index(std::floor(pos), n - 1);
    const std::size_t hi = capped_index(std::ceil(pos), n - 1);
    return {lo, hi, pos - static_cast<double>(lo)};
}

// percentile_from_sorted over a sample read through `at(place)`.
template <class At>
double percentile_at(std::size_t n, double p, At at) {
    if (n == 1) return at(0);
    const Quantile q = quantile_places(n, p);
    if (q.lo == q.hi) return at(q.lo);
    return q.frac * at(q.hi) + (1.0 - q.frac) * at(q.lo);
}

}  // namespace

double percentile_from_sorted(std::span<const double> values, double p) {
    require(!values.empty(), "percentile_from_sorted: empty sample");
    return percentile_at(values.size(), p, [&](std::size_t i) { return values[i]; });
}

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

// The range of `bounds` that holds bin b; kNoBin in none (past the last).
std::size_t range_of(const std::vector<std::size_t>& bounds, std::size_t b) {
    if (b == kNoBin) return bounds.size() - 1;
    return static_cast<std::size_t>(std::upper_bound(bounds.begin() + 1, bounds.end() - 1, b) - (bounds.begin() + 1));
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

void stable_sort_nan_equal(std::span<double> values) {
    // Written out as a merge: a comparator under which NaN equals everything
    // is not a strict weak order, and the library sorts are undefined for it.
    // Taking from the right run only when its head is strictly less keeps the
    // outcome defined and stable.
    const std::size_t n = values.size();
    if (n < 2) return;
    // Without NaN the order is a strict weak one, whose stable sort is unique:
    // the radix sort gives the same sequence, faster.
    if (std::none_of(values.begin(), values.end(), [](double v) { return std::isnan(v); })) {
        matrix::sorting::stable_sort_finite_order(values);
        return;
    }
    Vector scratch = Vector::uninit(n);
    double* src = values.data();
    double* dst = scratch.data();
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, n);
            const std::size_t hi = std::min(lo + 2 * width, n);
            std::size_t a = lo, b = mid, o = lo;
            while (a < mid && b < hi) dst[o++] = (src[b] < src[a]) ? src[b++] : src[a++];
            while (a < mid) dst[o++] = src[a++];
            while (b < hi) dst[o++] = src[b++];
        }
        std::swap(src, dst);
    }
    if (src != values.data()) std::copy_n(src, n, values.data());
}

namespace {

// The places a quartile (25 or 75) of an ascending sample of n values reads.
void add_quartile_places(std::size_t n, std::vector<std::size_t>& places) {
    for (double p : {25.0, 75.0}) {
        const Quantile q = quantile_places(n, p);
        places.push_back(q.lo);
        places.push_back(q.hi);
    }
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

// How the interquartile rule splits the solo predictions: the bounds, and
// how many present values lie below, within and above them.
struct OutlierSplit {
    bool keep_all = true;  // no bounds: every entry is kept, NaN included
    double lower = 0.0;
    double upper = 0.0;
    std::size_t present = 0;  // non-NaN values
    std::size_t below = 0;    // present values below `lower`
    std::size_t kept = 0;     // entries kept

    bool keeps(double v) const { return keep_all || (lower <= v && v <= upper); }
};

// `sorted` receives the places read for the quartiles and, since the
// histogram's edges usually need no others, the smallest and the largest.
OutlierSplit outlier_split(VecView y_solo, matrix::sorting::OrderStatistics& sample, double k,
                           std::optional<SortedPlaces>& sorted_out) {
    OutlierSplit split;
    const std::size_t n = y_solo.size();
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
    split.keep_all = false;
    split.lower = q25 - k * iqr;
    split.upper = q75 + k * iqr;
    // Whole numbers: the blocks' counts add up exactly in any order.
    const std::size_t blocks = n >= parallel::kParallelRowsFrom ? (n + parallel::kRowsPerBlock - 1) / parallel::kRowsPerBlock : 1;
    std::vector<std::pair<std::size_t, std::size_t>> counted(blocks);
    parallel::for_row_blocks(n, [&](std::size_t first, std::size_t last) {
        std::size_t below = 0, kept = 0;
        for (std::size_t i = first; i < last; ++i) {
            const double v = y_solo[i];
            below += v < split.lower;
            kept += split.lower <= v && v <= split.upper;
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
            if (f < 18446744073709551616.0) {
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
Vector kept_bin_edges(VecView y_solo, matrix::sorting::OrderStatistics& sample, const OutlierSplit& split,
                      const std::optional<SortedPlaces>& known) {
    const std::size_t t = split.kept;
    if (split.keep_all && split.present != y_solo.size()) {
        Vector sorted = Vector::uninit(t);
        for (std::size_t i = 0; i < t; ++i) sorted[i] = y_solo[i];
        stable_sort_nan_equal(sorted.span());
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

BoolVector iqr_outlier_mask(VecView y_solo, double k) {
    std::optional<SortedPlaces> sorted;
    matrix::sorting::OrderStatistics sample(y_solo, matrix::sorting::Order::Stable);
    const OutlierSplit split = outlier_split(y_solo, sample, k, sorted);
    BoolVector keep = BoolVector::uninit(y_solo.size());
    for (std::size_t i = 0; i < y_solo.size(); ++i) keep[i] = split.keeps(y_solo[i]);
    return keep;
}

Vector auto_bin_edges(std::span<const double> sorted) {
    return auto_bin_edges_at(sorted.size(), [&](std::size_t i) { return sorted[i]; });
}

Result<results::YSoloDistributionSummary> compute_ysolo_summary(VecView y_solo, std::optional<MatView> xi_solo,
                                                                double k) {
    const std::size_t n = y_solo.size();
    matrix::sorting::OrderStatistics sample(y_solo, matrix::sorting::Order::Stable);
    std::optional<SortedPlaces> sorted;
    const OutlierSplit split = outlier_split(y_solo, sample, k, sorted);
    const std::size_t t = split.kept;
    if (xi_solo && xi_solo->rows() != n) {
        return compute_error("xi_solo and ysolo must have the same number of rows (N)");
    }
    if (t == 0) return compute_error("Cannot compute histogram bins for empty sample");

    Vector edges = kept_bin_edges(y_solo, sample, split, sorted);
    const std::size_t bins = edges.size() - 1;
    const BinFinder bin_of(edges.span());

    results::YSoloDistributionSummary out;
    out.bin_centers = Vector::uninit(bins);
    out.bin_widths = Vector::uninit(bins);
    for (std::size_t j = 0; j < bins; ++j) {
        out.bin_centers[j] = (edges[j] + edges[j + 1]) * 0.5;
        out.bin_widths[j] = edges[j + 1] - edges[j];
    }

    if (xi_solo) {
        // Each kept row's weights, rescaled by their column's sum over the
        // kept rows when it is positive, go to the row's bin; every bin and
        // column adds them in row order, as the kept copy would.
        // The columns' sums (in row order) and every row's bin (each row on
        // its own, on the pool for many rows) are independent of each other.
        const MatView xi = *xi_solo;
        const std::size_t cols = xi.cols();
        Vector sums(cols);
        BinIndex bin = BinIndex::uninit(n);
        Matrix counts(bins, cols);
        if (n < parallel::kParallelRowsFrom) {
            kernels::kept_column_sums(xi, y_solo, split.keep_all, split.lower, split.upper, sums.data());
            for (std::size_t i = 0; i < n; ++i) {
                const double v = y_solo[i];
                bin[i] = split.keeps(v) ? bin_of(v) : kNoBin;
            }
            kernels::add_weight_shares(xi, bin, sums, counts.view_mut(), 0, bins, nullptr);
        } else {
            // Every bin's counts take its rows in order, and bins apart are
            // apart sums: ranges of bins, each with the list of its rows in
            // order, go to the pool side by side. The rows' bins and the
            // lists come from passes over blocks of rows, beside the one
            // chain of the columns' sums.
            const std::vector<std::size_t> bounds = bin_ranges(
                y_solo, bins, parallel::worker_count(), bin_of, [&](double v) { return split.keeps(v); });
            const std::size_t ranges = bounds.size() - 1;
            const std::size_t blocks = (n + parallel::kRowsPerBlock - 1) / parallel::kRowsPerBlock;
            // Rows of each block in each range, then where each block's rows
            // of a range start in that range's list.
            matrix::Array1<std::size_t> in_block(blocks * ranges);
            std::vector<RowList> lists(ranges);
            parallel::join(
                [&] { kernels::kept_column_sums(xi, y_solo, split.keep_all, split.lower, split.upper, sums.data()); },
                [&] {
                    parallel::for_row_blocks(n, [&](std::size_t first, std::size_t last) {
                        std::size_t* count = in_block.data() + first / parallel::kRowsPerBlock * ranges;
                        for (std::size_t i = first; i < last; ++i) {
                            const double v = y_solo[i];
                            bin[i] = split.keeps(v) ? bin_of(v) : kNoBin;
                            const std::size_t r = range_of(bounds, bin[i]);
                            if (r < ranges) ++count[r];
                        }
                    });
                    for (std::size_t r = 0; r < ranges; ++r) {
                        std::size_t at = 0;
                        for (std::size_t b = 0; b < blocks; ++b) {
                            const std::size_t c = in_block[b * ranges + r];
                            in_block[b * ranges + r] = at;
                            at += c;
                        }
                        lists[r] = RowList::uninit(at);
                    }
                    parallel::for_row_blocks(n, [&](std::size_t first, std::size_t last) {
                        std::size_t* next = in_block.data() + first / parallel::kRowsPerBlock * ranges;
                        for (std::size_t i = first; i < last; ++i) {
                            const std::size_t r = range_of(bounds, bin[i]);
                            if (r < ranges) lists[r][next[r]++] = i;
                        }
                    });
                });
            parallel::parallel_for(0, ranges, 1, [&](std::size_t r) {
                kernels::add_weight_shares(xi, bin, sums, counts.view_mut(), bounds[r], bounds[r + 1], &lists[r]);
            });
        }
        out.bin_counts = std::move(counts);
    } else {
        Matrix counts(bins, 1);
        for (std::size_t i = 0; i < n; ++i) {
            const double v = y_solo[i];
            if (!split.keeps(v)) continue;
            const std::size_t b = bin_of(v);
            if (b != kNoBin) counts(b, 0) += 1.0;
        }
        out.bin_counts = std::move(counts);
    }
    out.bin_edges = std::move(edges);
    return out;
}

Result<YSoloDistribution> compute_ysolo_distribution(VecView y_solo, std::optional<MatView> xi_solo, double k) {
    auto summary = compute_ysolo_summary(y_solo, xi_solo, k);
    if (!summary) return std::unexpected(std::move(summary.error()));
    const std::size_t n = y_solo.size();
    const BoolVector keep = iqr_outlier_mask(y_solo, k);
    std::size_t t = 0;
    for (std::size_t i = 0; i < n; ++i) t += keep[i] ? 1 : 0;

    YSoloDistribution out;
    out.kept_values = Vector::uninit(t);
    for (std::size_t i = 0, o = 0; i < n; ++i) {
        if (keep[i]) out.kept_values[o++] = y_solo[i];
    }
    if (xi_solo) {
        const MatView xi = *xi_solo;
        const std::size_t cols = xi.cols();
        Matrix kept = Matrix::uninit(t, cols);
        Vector sums(cols);
        for (std::size_t i = 0, o = 0; i < n; ++i) {
            if (!keep[i]) continue;
            const auto src = xi.row(i);
            auto dst = kept.row(o++);
            for (std::size_t c = 0; c < cols; ++c) {
                dst[c] = src[c];
                sums[c] += src[c];
            }
        }
        for (std::size_t o = 0; o < t; ++o) {
            auto row = kept.row(o);
            for (std::size_t c = 0; c < cols; ++c) {
                if (sums[c] > 0.0) row[c] = row[c] / sums[c];
            }
        }
        out.kept_weights = std::move(kept);
    }
    out.summary = std::move(*summary);
    return out;
}

}  // namespace toolbox::qel::insights::solo_distributions

#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "toolbox/matrix/sorting.hpp"
#include "toolbox/parallel/pool.hpp"

namespace toolbox::qel::insights::solo_distributions {

using matrix::BoolMatView;
using matrix::BoolVector;
using matrix::Matrix;
using matrix::MatView;
using matrix::Vector;
using matrix::VecView;

namespace {

constexpr double kRelevanceEps = 1e-8;
constexpr double kNormaliserEps = 1e-8;
constexpr double kSigmaEps = 1e-12;

// Floor or ceiling of a position as an index: negative and NaN give 0, and
// the index never passes the last element.
std::size_t capped_index(double v, std::size_t last) {
    if (!(v > 0.0)) return 0;
    if (v >= static_cast<double>(last)) return last;
    return static_cast<std::size_t>(v);
}

}  // namespace

Vector estimate_y_solo(VecView y, VecView relevance_scores, VecView info_theta, double ybar) {
    const std::size_t n = y.size();
    const bool scalar_theta = info_theta.size() == 1;
    Vector y_solo = Vector::uninit(n);
    parallel::for_row_blocks(n, [&](std::size_t first, std::size_t last) {
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
    });
    return y_solo;
}

Matrix estimate_solo_weights(VecView relevance_scores, BoolMatView include) {
    const std::size_t n = include.rows();
    const std::size_t t = include.cols();
    Vector d(t);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = relevance_scores[i] * relevance_scores[i];
        const auto row = include.row(i);
        // An excluded row adds an exact 0, even when its score is NaN.
        for (std::size_t k = 0; k < t; ++k) d[k] += row[k] ? v : 0.0;
    }
    Matrix xi = Matrix::uninit(n, t);
    const double nan = std::nan("");
    parallel::for_row_blocks(n, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            const double v = relevance_scores[i] * relevance_scores[i];
            const bool* row = include.row(i).data();
            double* out = xi.row(i).data();
            for (std::size_t k = 0; k < t; ++k) {
                const double w = row[k] ? v : 0.0;
                const double dk = d[k];
                const double share = std::fabs(dk) > kNormaliserEps ? w / dk : 0.0;
                out[k] = (w != w || dk != dk) ? nan : share;
            }
        }
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

    Vector sw(t), m2(t), m3(t), m4(t);
    for (std::size_t i = 0; i < n; ++i) {
        const auto xi_row = xi_solo.row(i);
        const double ys = y_solo[i];
        for (std::size_t k = 0; k < t; ++k) {
            const double w = xi_row[k];
            // An observation with no weight has no say in a weighted moment:
            // leaving it out keeps a missing attribute (NaN solo prediction,
            // weight 0) from turning every moment into NaN. A NaN weight is
            // not 0 and still propagates. Left out by adding +0.0 (a select,
            // not a branch): the sums start at +0.0, never hold -0.0, and
            // adding +0.0 leaves them as they are.
            const bool none = w == 0.0;
            const double d = ys - yhat[k];
            const double d2 = d * d;
            const double d3 = d2 * d;
            const double d4 = d3 * d;
            sw[k] += none ? 0.0 : w;
            m2[k] += none ? 0.0 : w * d2;
            m3[k] += none ? 0.0 : w * d3;
            m4[k] += none ? 0.0 : w * d4;
        }
    }

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

double percentile_from_sorted(std::span<const double> values, double p) {
    const std::size_t n = values.size();
    require(n >= 1, "percentile_from_sorted: empty sample");
    if (n == 1) return values[0];
    const double pos = (p / 100.0) * static_cast<double>(n - 1);
    const std::size_t lo = capped_index(std::floor(pos), n - 1);
    const std::size_t hi = capped_index(std::ceil(pos), n - 1);
    if (lo == hi) return values[lo];
    const double frac = pos - static_cast<double>(lo);
    return frac * values[hi] + (1.0 - frac) * values[lo];
}

namespace {

constexpr std::size_t kNoBin = SIZE_MAX;

// The bin of every value (kNoBin for NaN and values outside the edges):
// bins are [edges_j, edges_j+1), the last one closed on the right. Computed
// once and shared by every weight column of a histogram.
std::vector<std::size_t> bin_indices(std::span<const double> values, std::span<const double> edges) {
    const std::size_t bins = edges.size() - 1;
    const double last = edges.back();
    // For ascending edges the first bin with edges_j <= v < edges_j+1 is the
    // one before the first edge above v, which a binary search finds. Edges
    // that are not ascending (NaN from a sample of NaN) keep the first-match
    // scan, which stays defined for them.
    bool ascending = true;
    for (std::size_t j = 0; j < edges.size(); ++j) {
        if (std::isnan(edges[j]) || (j > 0 && edges[j] < edges[j - 1])) {
            ascending = false;
            break;
        }
    }
    std::vector<std::size_t> index(values.size(), kNoBin);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        if (std::isnan(v)) continue;
        if (v == last) {
            index[i] = bins - 1;
        } else if (ascending) {
            const auto u = static_cast<std::size_t>(std::upper_bound(edges.begin(), edges.end(), v) - edges.begin());
            if (u != 0 && u != edges.size()) index[i] = u - 1;
        } else {
            for (std::size_t j = 0; j < bins; ++j) {
                if (edges[j] <= v && v < edges[j + 1]) {
                    index[i] = j;
                    break;
                }
            }
        }
    }
    return index;
}

// Adds the weights of each bin in value order (NaN weights are not counted).
template <class WeightAt>
void accumulate_bins(const std::vector<std::size_t>& index, std::size_t m, WeightAt weight_at, double* counts,
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

BoolVector iqr_outlier_mask(VecView y_solo, double k) {
    const std::size_t n = y_solo.size();
    BoolVector keep(n, true);
    if (n == 0) return keep;
    Vector present = Vector::uninit(n);
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isnan(y_solo[i])) present[m++] = y_solo[i];
    }
    if (m == 0) return keep;
    const std::span<double> sorted(present.data(), m);
    stable_sort_nan_equal(sorted);
    const double q25 = percentile_from_sorted(sorted, 25.0);
    const double q75 = percentile_from_sorted(sorted, 75.0);
    const double iqr = q75 - q25;
    if (!(iqr > 0.0)) return keep;
    const double lower = q25 - k * iqr;
    const double upper = q75 + k * iqr;
    for (std::size_t i = 0; i < n; ++i) keep[i] = lower <= y_solo[i] && y_solo[i] <= upper;
    return keep;
}

Vector auto_bin_edges(std::span<const double> sorted) {
    const std::size_t t = sorted.size();
    require(t >= 1, "auto_bin_edges: empty sample");
    const double min = sorted.front();
    const double max = sorted.back();
    if (min == max) return Vector{min - 0.5, max + 0.5};

    const double t_d = static_cast<double>(t);
    const auto sturges = static_cast<std::uint64_t>(std::ceil(std::log2(t_d))) + 1;
    const double q25 = percentile_from_sorted(sorted, 25.0);
    const double q75 = percentile_from_sorted(sorted, 75.0);
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

Result<YSoloDistribution> compute_ysolo_distribution(VecView y_solo, std::optional<MatView> xi_solo, double k) {
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
        if (xi.rows() != n) return compute_error("xi_solo and ysolo must have the same number of rows (N)");
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

    if (t == 0) return compute_error("Cannot compute histogram bins for empty sample");

    Vector sorted = out.kept_values;
    stable_sort_nan_equal(sorted.span());
    Vector edges = auto_bin_edges(sorted.span());
    const std::size_t bins = edges.size() - 1;

    Vector centers = Vector::uninit(bins);
    Vector widths = Vector::uninit(bins);
    for (std::size_t j = 0; j < bins; ++j) {
        centers[j] = (edges[j] + edges[j + 1]) * 0.5;
        widths[j] = edges[j + 1] - edges[j];
    }

    Matrix counts;
    const auto index = bin_indices(out.kept_values.span(), edges.span());
    if (out.kept_weights) {
        const Matrix& w = *out.kept_weights;
        const std::size_t cols = w.cols();
        counts = Matrix(bins, cols);
        for (std::size_t c = 0; c < cols; ++c) {
            accumulate_bins(index, t, [&](std::size_t o) { return w(o, c); }, counts.data() + c, cols);
        }
    } else {
        counts = Matrix(bins, 1);
        accumulate_bins(index, t, [](std::size_t) { return 1.0; }, counts.data(), 1);
    }

    out.summary.bin_edges = std::move(edges);
    out.summary.bin_centers = std::move(centers);
    out.summary.bin_widths = std::move(widths);
    out.summary.bin_counts = std::move(counts);
    return out;
}

}  // namespace toolbox::qel::insights::solo_distributions

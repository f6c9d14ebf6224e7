#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"

#include <cmath>
#include <utility>

#include "toolbox/matrix/lanes.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/stats/histogram.hpp"
#include "toolbox/stats/modality.hpp"
#include "toolbox/simd.hpp"

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

}  // namespace

// The vector kernels, each with a copy per instruction set (toolbox/simd.hpp).
namespace kernels {

namespace {

struct YSoloRows {
    template <simd::Level>
    [[gnu::always_inline]] static void run(std::size_t first, std::size_t last, VecView y, VecView relevance_scores,
                                           VecView info_theta, double ybar, double* y_solo) {
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
};

}  // namespace

void y_solo_rows(std::size_t first, std::size_t last, VecView y, VecView relevance_scores, VecView info_theta,
                 double ybar, double* y_solo) {
    simd::run<YSoloRows>(first, last, y, relevance_scores, info_theta, ybar, y_solo);
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

Vector retained_squares(BoolMatView include, VecView r) {
    Vector d(include.cols());
    simd::run<lanes::OverColumns<RetainedSquares>>(include.cols(), include, r, d.data());
    return d;
}

void solo_weight_rows(std::size_t first, std::size_t last, BoolMatView include, VecView r, const Vector& d,
                      matrix::MatMut xi) {
    simd::run<lanes::OverColumns<SoloWeightRows>>(include.cols(), first, last, include, r, d.data(), xi);
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

void solo_moments(VecView y_solo, MatView xi, VecView yhat, Vector& sw, Vector& m2, Vector& m3, Vector& m4) {
    const Vector yh = Vector::from(yhat);
    // Four running sums per column: two groups at a time stay in registers.
    simd::run<lanes::OverColumns<SoloMoments, 2>>(xi.cols(), y_solo, xi, yh.data(), sw.data(), m2.data(), m3.data(),
                                                  m4.data());
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
    // The solo predictions wait for the mean of y, one chain of additions
    // through every row, and the solo weights for their columns' sums of
    // squares, another: for many rows the two run side by side.
    SoloDistributionParts parts;
    parallel::join_if(
        n >= parallel::kParallelRowsFrom,
        [&] {
            double sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) sum += y[i];
            parts.y_solo = estimate_y_solo(y, relevance_scores, info_theta, sum / static_cast<double>(n));
        },
        [&] { parts.xi_solo = estimate_solo_weights(relevance_scores, include); });
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

Result<results::YSoloDistributionSummary> compute_ysolo_summary(VecView y_solo, std::optional<MatView> xi_solo,
                                                                double k) {
    if (xi_solo && xi_solo->rows() != y_solo.size()) {
        return compute_error("xi_solo and ysolo must have the same number of rows (N)");
    }
    auto h = stats::histogram::trimmed_histogram(y_solo, xi_solo, k);
    if (!h) return compute_error("Cannot compute histogram bins for empty sample");
    results::YSoloDistributionSummary out;
    out.bin_edges = std::move(h->edges);
    out.bin_centers = std::move(h->centers);
    out.bin_widths = std::move(h->widths);
    out.bin_counts = std::move(h->counts);
    return out;
}

Result<YSoloDistribution> compute_ysolo_distribution(VecView y_solo, std::optional<MatView> xi_solo, double k) {
    auto summary = compute_ysolo_summary(y_solo, xi_solo, k);
    if (!summary) return std::unexpected(std::move(summary.error()));
    const std::size_t n = y_solo.size();
    const BoolVector keep = stats::histogram::iqr_outlier_mask(y_solo, k);
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

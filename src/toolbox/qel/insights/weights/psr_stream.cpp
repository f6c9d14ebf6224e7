// The streamed forms of the partial-sample weights: predictions, fit
// statistics and mixtures of both sides' weights, each weight recomputed from
// its side's data whenever a pass over the cells needs it, so that no large
// N x T weight matrix is ever held; a small one is kept from the first pass
// for the later ones.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

#include "toolbox/qel/insights/weights/psr_lanes.hpp"
#include "toolbox/qel/insights/weights/psr_weights.hpp"
#include "toolbox/simd.hpp"

namespace toolbox::qel::insights::weights::psr_weights {

using matrix::BoolMatView;
using matrix::Vector;
using matrix::VecView;

// The kernels of the streamed forms, beside those of psr_weights.cpp and for
// the same reason outside the unnamed namespace.
namespace kernels {

// yhat_k = w_ik * y_i + yhat_k over the rows in order, from 0.0.
template <std::size_t NV>
struct StreamedOutcomes {
    [[gnu::always_inline]] static void run(const lanes::Block& b, BoolMatView mask, VecView r, VecView y,
                                           const ColumnFactors& f, double inv_n, double* yhat) {
        const GroupFactors<NV> gf(b, f);
        const lanes::v4d inv = {inv_n, inv_n, inv_n, inv_n};
        lanes::v4d acc[NV] = {};
        for (std::size_t i = 0; i < mask.rows(); ++i) {
            const bool* d = mask.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) acc[g] = gf.weight(b, d, r[i], g, inv) * y[i] + acc[g];
        }
        for (std::size_t g = 0; g < NV; ++g) lanes::store(b, g, acc[g], yhat);
    }
};

void streamed_outcomes(BoolMatView mask, VecView r, VecView y, const ColumnFactors& f, double inv_n, double* yhat) {
    simd::run<lanes::OverColumns<StreamedOutcomes, 2>>(mask.cols(), mask, r, y, f, inv_n, yhat);
}

// The column sums of the weights over the rows in order, from 0.0.
template <std::size_t NV>
struct WeightSums {
    [[gnu::always_inline]] static void run(const lanes::Block& b, BoolMatView mask, VecView r, const ColumnFactors& f,
                                           double inv_n, double* sums) {
        const GroupFactors<NV> gf(b, f);
        const lanes::v4d inv = {inv_n, inv_n, inv_n, inv_n};
        lanes::v4d acc[NV] = {};
        for (std::size_t i = 0; i < mask.rows(); ++i) {
            const bool* d = mask.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) acc[g] = acc[g] + gf.weight(b, d, r[i], g, inv);
        }
        for (std::size_t g = 0; g < NV; ++g) lanes::store(b, g, acc[g], sums);
    }
};

// With dw = w_ik - wbar_k and dy = y_i - ybar: the sums over the rows in
// order of dy * dw, dw * dw and dy^2 * (dw * dw), each from 0.0.
template <std::size_t NV>
struct CentredSums {
    [[gnu::always_inline]] static void run(const lanes::Block& b, BoolMatView mask, VecView r, VecView y, double ybar,
                                           const ColumnFactors& f, double inv_n, const double* wbar,
                                           double* c, double* vw, double* q) {
        const GroupFactors<NV> gf(b, f);
        const lanes::v4d inv = {inv_n, inv_n, inv_n, inv_n};
        lanes::v4d mean[NV], sc[NV] = {}, sw[NV] = {}, sq[NV] = {};
        for (std::size_t g = 0; g < NV; ++g) mean[g] = lanes::gather(b, wbar, g);
        for (std::size_t i = 0; i < mask.rows(); ++i) {
            const bool* d = mask.row(i).data();
            const double dy = y[i] - ybar;
            const double dy2 = dy * dy;
            for (std::size_t g = 0; g < NV; ++g) {
                const lanes::v4d dw = gf.weight(b, d, r[i], g, inv) - mean[g];
                const lanes::v4d dw2 = dw * dw;
                sc[g] = sc[g] + dy * dw;
                sw[g] = sw[g] + dw2;
                sq[g] = sq[g] + dy2 * dw2;
            }
        }
        for (std::size_t g = 0; g < NV; ++g) {
            lanes::store(b, g, sc[g], c);
            lanes::store(b, g, sw[g], vw);
            lanes::store(b, g, sq[g], q);
        }
    }
};

void weight_sums(BoolMatView mask, VecView r, const ColumnFactors& f, double inv_n, double* sums) {
    simd::run<lanes::OverColumns<WeightSums, 2>>(mask.cols(), mask, r, f, inv_n, sums);
}

void centred_sums(BoolMatView mask, VecView r, VecView y, double ybar, const ColumnFactors& f, double inv_n,
                  const double* wbar, double* c, double* vw, double* q) {
    simd::run<lanes::OverColumns<CentredSums, 1>>(mask.cols(), mask, r, y, ybar, f, inv_n, wbar, c, vw, q);
}

// Both sides at once, for a run whose passes go one after the other: the
// column sums of either side's weights and the include side's predictions
// in one pass, then either side's centred sums in another. Each running sum
// takes the same operations in the same row order as in its own pass; side
// by side their chains of additions overlap instead of waiting each alone.
// With `Keep` the first pass also writes the weights it forms to the rows of
// w_in and w_ex, for the later passes to read instead of forming them again.
template <bool Keep>
struct BothWeightSumsOf {
    template <std::size_t NV>
    struct Kernel {
        [[gnu::always_inline]] static void run(const lanes::Block& b, const FormedWeights& w, VecView y,
                                               double* sums_in, double* sums_ex, double* yhat, matrix::MatMut w_in,
                                               matrix::MatMut w_ex) {
            const FormedWeights::Lanes<NV> src(b, w);
            lanes::v4d s_in[NV] = {}, s_ex[NV] = {}, yh[NV] = {};
            for (std::size_t i = 0; i < w.include.rows(); ++i) {
                for (std::size_t g = 0; g < NV; ++g) {
                    const lanes::v4d wi = src.include(b, i, g);
                    const lanes::v4d we = src.exclude(b, i, g);
                    if constexpr (Keep) {
                        lanes::store_row(b, w_in.row(i).data(), g, wi);
                        lanes::store_row(b, w_ex.row(i).data(), g, we);
                    }
                    s_in[g] = s_in[g] + wi;
                    s_ex[g] = s_ex[g] + we;
                    yh[g] = wi * y[i] + yh[g];
                }
            }
            for (std::size_t g = 0; g < NV; ++g) {
                lanes::store(b, g, s_in[g], sums_in);
                lanes::store(b, g, s_ex[g], sums_ex);
                lanes::store(b, g, yh[g], yhat);
            }
        }
    };
};

// The sums of CentredSums for one side's weights `w` in group g.
struct CentredAcc {
    lanes::v4d mean, c = {}, vw = {}, q = {};

    [[gnu::always_inline]] void add(const lanes::v4d& w, double dy, double dy2) {
        const lanes::v4d dw = w - mean;
        const lanes::v4d dw2 = dw * dw;
        c = c + dy * dw;
        vw = vw + dw2;
        q = q + dy2 * dw2;
    }
};

template <class Weights>
struct BothCentredSumsOf {
    template <std::size_t NV>
    struct Kernel {
        [[gnu::always_inline]] static void run(const lanes::Block& b, const Weights& w, VecView y, double ybar,
                                               const double* wbar_in, const double* wbar_ex, double* out_in,
                                               double* out_ex, std::size_t t) {
            const typename Weights::template Lanes<NV> src(b, w);
            CentredAcc in[NV], ex[NV];
            for (std::size_t g = 0; g < NV; ++g) {
                in[g].mean = lanes::gather(b, wbar_in, g);
                ex[g].mean = lanes::gather(b, wbar_ex, g);
            }
            for (std::size_t i = 0; i < y.size(); ++i) {
                const double dy = y[i] - ybar;
                const double dy2 = dy * dy;
                for (std::size_t g = 0; g < NV; ++g) {
                    in[g].add(src.include(b, i, g), dy, dy2);
                    ex[g].add(src.exclude(b, i, g), dy, dy2);
                }
            }
            // Each side's sums of c, vw and q, t apart.
            for (std::size_t g = 0; g < NV; ++g) {
                lanes::store(b, g, in[g].c, out_in);
                lanes::store(b, g, in[g].vw, out_in + t);
                lanes::store(b, g, in[g].q, out_in + 2 * t);
                lanes::store(b, g, ex[g].c, out_ex);
                lanes::store(b, g, ex[g].vw, out_ex + t);
                lanes::store(b, g, ex[g].q, out_ex + 2 * t);
            }
        }
    };
};

// With `keep`, the weights formed are written there too.
void both_weight_sums(const FormedWeights& w, VecView y, double* sums_in, double* sums_ex, double* yhat,
                      BothSideWeights* keep) {
    const std::size_t t = w.include.cols();
    if (keep) {
        simd::run<lanes::OverColumns<BothWeightSumsOf<true>::Kernel, 1>>(
            t, w, y, sums_in, sums_ex, yhat, keep->include.view_mut(), keep->exclude.view_mut());
    } else {
        simd::run<lanes::OverColumns<BothWeightSumsOf<false>::Kernel, 1>>(t, w, y, sums_in, sums_ex, yhat,
                                                                          matrix::MatMut{}, matrix::MatMut{});
    }
}

template <class Weights>
void both_centred_sums(const Weights& w, VecView y, double ybar, const double* wbar_in, const double* wbar_ex,
                       double* out_in, double* out_ex) {
    const std::size_t t = w.include.cols();
    simd::run<lanes::OverColumns<BothCentredSumsOf<Weights>::template Kernel, 1>>(t, w, y, ybar, wbar_in, wbar_ex,
                                                                                out_in, out_ex, t);
}

// The four rows of a group as four columns: lane l of out[j] is lane j of
// rows[l].
[[gnu::always_inline]] inline void transpose(const lanes::v4d rows[4], lanes::v4d out[4]) {
    const lanes::v4d t0 = __builtin_shufflevector(rows[0], rows[1], 0, 4, 2, 6);
    const lanes::v4d t1 = __builtin_shufflevector(rows[0], rows[1], 1, 5, 3, 7);
    const lanes::v4d t2 = __builtin_shufflevector(rows[2], rows[3], 0, 4, 2, 6);
    const lanes::v4d t3 = __builtin_shufflevector(rows[2], rows[3], 1, 5, 3, 7);
    out[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    out[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    out[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    out[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Adds, in column order, the terms w_ik * a_k of the block `blk` for the
// four rows from i (their weights `w`, one row to a vector) to the running
// sums `s` (one row per lane). A column the block does not own adds +0.0
// instead, by a select: a sum that starts at +0.0 never holds -0.0, so that
// leaves it as it is, and no branch keeps the sums from staying in registers.
[[gnu::always_inline]] inline void add_group_terms(const lanes::v4d w[4], const lanes::v4d& a,
                                                   const lanes::v4l owned[4], lanes::v4d& s) {
    const lanes::v4d zero = {0.0, 0.0, 0.0, 0.0};
    lanes::v4d terms[4], cols[4];
    for (std::size_t l = 0; l < 4; ++l) terms[l] = w[l] * a;
    transpose(terms, cols);
    for (std::size_t j = 0; j < 4; ++j) s = s + (owned[j] ? cols[j] : zero);
}

// Per row, s = s + w_ik * a_k over the thresholds in order, from 0.0, for
// both sides. Four rows at a time: their weights are taken four columns to
// a vector, turned so that each lane holds one row, and added column by
// column, so each row keeps its own order of additions.
template <class Weights>
struct MixRowsOf {
    template <simd::Level>
    [[gnu::always_inline]] static void run(const Weights& w, VecView a, VecView b, double* in, double* ex) {
        const std::size_t n_rows = w.include.rows();
        const std::size_t t = w.include.cols();
        const std::size_t full = n_rows / 4 * 4;
        if (t == 0) {
            std::fill_n(in, full, 0.0);
            std::fill_n(ex, full, 0.0);
        }
        for (std::size_t first = 0; first < t; first += lanes::kLanes) {
            const lanes::Block blk = lanes::block_at(t, first, 1);
            const typename Weights::template Lanes<1> src(blk, w);
            lanes::v4d va = {0.0, 0.0, 0.0, 0.0}, vb = {0.0, 0.0, 0.0, 0.0};
            lanes::v4l owned[lanes::kLanes] = {};
            for (std::size_t j = 0; j < lanes::kLanes; ++j) {
                const std::size_t col = blk.start[0] + j;
                if (col < t) {
                    va[j] = a[col];
                    vb[j] = b[col];
                }
                const std::int64_t own = blk.stores(0, j) ? -1 : 0;
                owned[j] = lanes::v4l{own, own, own, own};
            }
            for (std::size_t i = 0; i < full; i += 4) {
                lanes::v4d s_in = {0.0, 0.0, 0.0, 0.0}, s_ex = {0.0, 0.0, 0.0, 0.0};
                if (first != 0) {
                    std::memcpy(&s_in, in + i, sizeof s_in);
                    std::memcpy(&s_ex, ex + i, sizeof s_ex);
                }
                lanes::v4d w_in[4], w_ex[4];
                for (std::size_t l = 0; l < 4; ++l) {
                    w_in[l] = src.include(blk, i + l, 0);
                    w_ex[l] = src.exclude(blk, i + l, 0);
                }
                add_group_terms(w_in, va, owned, s_in);
                add_group_terms(w_ex, vb, owned, s_ex);
                std::memcpy(in + i, &s_in, sizeof s_in);
                std::memcpy(ex + i, &s_ex, sizeof s_ex);
            }
        }
        for (std::size_t i = full; i < n_rows; ++i) {
            double s_in = 0.0, s_ex = 0.0;
            for (std::size_t k = 0; k < t; ++k) {
                s_in = s_in + w.include_at(i, k) * a[k];
                s_ex = s_ex + w.exclude_at(i, k) * b[k];
            }
            in[i] = s_in;
            ex[i] = s_ex;
        }
    }
};

template <class Weights>
void mix_rows(const Weights& w, VecView a, VecView b, double* in, double* ex) {
    simd::run<MixRowsOf<Weights>>(w, a, b, in, ex);
}

}  // namespace kernels

namespace {

// The most weights, both sides together, that the first pass of a run's
// statistics keeps for the passes after it: 1 MiB of them stay in a core's
// cache beside the masks and the relevance, where reading a weight costs
// less than forming it again; beyond that they would be read from memory.
constexpr std::size_t kKeptWeightsUpTo = std::size_t{1} << 17;

void require_side(const PsrSide& side, BoolMatView mask, std::size_t n_rows, std::size_t r_len) {
    const std::size_t t = mask.cols();
    require(side.lambda_sq.size() >= t && side.phi.size() >= t && side.n.size() >= t && side.part_mean.size() >= t,
            "partial-sample side shorter than the thresholds of its mask");
    require(mask.rows() == n_rows && r_len >= n_rows, "relevance and mask lengths differ");
}

// The fit statistics of a side from its centred sums over the n outcomes.
fit::FitResult streamed_fit_result(const Vector& c, const Vector& vw, const Vector& q, double n, double vy) {
    const std::size_t t = c.size();
    const double g = 1.0 / ((n - 1.0) * (n - 1.0));
    const bool per_column = t <= fit::kMaxPerColumnThresholds;
    fit::FitResult out{Vector::uninit(t), Vector::uninit(t), Vector::uninit(t), Vector::uninit(t)};
    for (std::size_t k = 0; k < t; ++k) {
        const double oi = (q[k] / ((vw[k] / n) * (vy / n))) * g;
        if (vw[k] > 0.0 && vy > 0.0) {
            out.rho[k] = c[k] / (std::sqrt(vw[k]) * std::sqrt(vy));
            out.fit[k] = out.rho[k] * out.rho[k];
            out.outlier_influence[k] = oi;
        } else {
            // The materialised statistics give NaN here column by column and
            // 0.0 as a matrix; the streamed ones follow the same split.
            out.rho[k] = 0.0;
            out.fit[k] = 0.0;
            out.outlier_influence[k] = per_column ? oi : 0.0;
        }
        out.agreement[k] = out.fit[k] - out.outlier_influence[k];
    }
    return out;
}

}  // namespace

fit::FitResult psr_stream_fit(VecView y, VecView r, BoolMatView mask, const PsrSide& side, double n_f) {
    return psr_stream_fit(y, outcome_spread(y), r, mask, side, n_f);
}

fit::FitResult psr_stream_fit(VecView y, const OutcomeSpread& spread, VecView r, BoolMatView mask, const PsrSide& side,
                              double n_f) {
    const std::size_t n_rows = mask.rows();
    const std::size_t t = mask.cols();
    require(y.size() == n_rows, "psr_stream_fit: y and mask differ in length");
    require_side(side, mask, n_rows, r.size());
    const double inv_n = 1.0 / n_f;
    const kernels::ColumnFactors f(columns_of(side));
    const double n = static_cast<double>(y.size());

    // First pass: column means of the weights.
    Vector wbar = Vector::uninit(t);
    kernels::weight_sums(mask, r, f, inv_n, wbar.data());
    for (std::size_t k = 0; k < t; ++k) wbar[k] = wbar[k] / n;

    // Second pass: the centred sums, weights recomputed.
    Vector c = Vector::uninit(t), vw = Vector::uninit(t), q = Vector::uninit(t);
    kernels::centred_sums(mask, r, y, spread.mean, f, inv_n, wbar.data(), c.data(), vw.data(), q.data());
    return streamed_fit_result(c, vw, q, n, spread.sum_sq);
}

StreamedStatistics psr_stream_statistics(VecView y, const OutcomeSpread& spread, VecView r, BoolMatView include,
                                         BoolMatView exclude, const PsrEval& eval) {
    const std::size_t n_rows = include.rows();
    const std::size_t t = include.cols();
    require(y.size() == n_rows, "psr_stream_statistics: y and mask differ in length");
    require(exclude.rows() == n_rows && exclude.cols() == t, "psr_stream_statistics: masks differ in shape");
    require_side(eval.include_side, include, n_rows, r.size());
    require_side(eval.exclude_side, exclude, n_rows, r.size());
    const double inv_n = 1.0 / eval.n_total;
    const kernels::ColumnFactors f_in(columns_of(eval.include_side)), f_ex(columns_of(eval.exclude_side));
    const double n = static_cast<double>(y.size());

    const kernels::FormedWeights formed{include, exclude, r, f_in, f_ex, inv_n};

    StreamedStatistics out;
    out.yhat = Vector::uninit(t);
    // While both sides' weights fit in a core's cache, the first pass keeps
    // them for the centred sums and the mixtures to read.
    if (2 * n_rows * t <= kKeptWeightsUpTo) {
        out.weights = BothSideWeights{matrix::Matrix::uninit(n_rows, t), matrix::Matrix::uninit(n_rows, t)};
    }
    Vector wbar_in = Vector::uninit(t), wbar_ex = Vector::uninit(t);
    kernels::both_weight_sums(formed, y, wbar_in.data(), wbar_ex.data(), out.yhat.data(),
                              out.weights ? &*out.weights : nullptr);
    for (std::size_t k = 0; k < t; ++k) {
        wbar_in[k] = wbar_in[k] / n;
        wbar_ex[k] = wbar_ex[k] / n;
    }
    Vector sums_in = Vector::uninit(3 * t), sums_ex = Vector::uninit(3 * t);
    if (out.weights) {
        const kernels::KeptWeights kept{out.weights->include.view(), out.weights->exclude.view()};
        kernels::both_centred_sums(kept, y, spread.mean, wbar_in.data(), wbar_ex.data(), sums_in.data(),
                                   sums_ex.data());
    } else {
        kernels::both_centred_sums(formed, y, spread.mean, wbar_in.data(), wbar_ex.data(), sums_in.data(),
                                   sums_ex.data());
    }
    auto part = [&](const Vector& sums, std::size_t which) {
        return Vector::from(std::span<const double>(sums.data() + which * t, t));
    };
    out.include = streamed_fit_result(part(sums_in, 0), part(sums_in, 1), part(sums_in, 2), n, spread.sum_sq);
    out.exclude = streamed_fit_result(part(sums_ex, 0), part(sums_ex, 1), part(sums_ex, 2), n, spread.sum_sq);
    return out;
}

Vector psr_stream_yhat(VecView y, VecView r, BoolMatView mask, const PsrSide& side, double n_f) {
    const std::size_t n_rows = mask.rows();
    require(y.size() == n_rows, "psr_stream_yhat: y and mask differ in length");
    require_side(side, mask, n_rows, r.size());
    const kernels::ColumnFactors f(columns_of(side));
    Vector yhat = Vector::uninit(mask.cols());
    kernels::streamed_outcomes(mask, r, y, f, 1.0 / n_f, yhat.data());
    return yhat;
}

CellAdjFitWeights psr_stream_mix(VecView r, BoolMatView include, BoolMatView exclude, const PsrEval& eval, VecView a,
                                 VecView b, const BothSideWeights* kept) {
    const std::size_t n_rows = include.rows();
    const std::size_t t = include.cols();
    require(exclude.rows() == n_rows && exclude.cols() == t, "psr_stream_mix: masks differ in shape");
    require(a.size() >= t && b.size() >= t, "psr_stream_mix: coefficients shorter than the thresholds");
    require_side(eval.include_side, include, n_rows, r.size());
    require_side(eval.exclude_side, exclude, n_rows, r.size());
    CellAdjFitWeights out{Vector::uninit(n_rows), Vector::uninit(n_rows)};
    if (kept) {
        require(kept->include.rows() == n_rows && kept->include.cols() == t && kept->exclude.rows() == n_rows &&
                    kept->exclude.cols() == t,
                "psr_stream_mix: kept weights differ in shape from the masks");
        kernels::mix_rows(kernels::KeptWeights{kept->include.view(), kept->exclude.view()}, a, b, out.include.data(),
                          out.exclude.data());
        return out;
    }
    const kernels::ColumnFactors f_in(columns_of(eval.include_side)), f_ex(columns_of(eval.exclude_side));
    kernels::mix_rows(kernels::FormedWeights{include, exclude, r, f_in, f_ex, 1.0 / eval.n_total}, a, b,
                      out.include.data(), out.exclude.data());
    return out;
}

}  // namespace toolbox::qel::insights::weights::psr_weights

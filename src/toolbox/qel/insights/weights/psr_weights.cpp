#include "toolbox/qel/insights/weights/psr_weights.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "toolbox/format.hpp"
#include "toolbox/matrix/mask.hpp"
#include "toolbox/matrix/nan/array2d.hpp"
#include "toolbox/matrix/lanes.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/target_clones.hpp"

namespace toolbox::qel::insights::weights::psr_weights {

using matrix::BoolMatView;
using matrix::Matrix;
using matrix::MatMut;
using matrix::MatView;
using matrix::Vector;
using matrix::VecView;
namespace lanes = matrix::lanes;

// The vector kernels, each compiled for several instruction sets. They live
// outside the unnamed namespace: clang builds such a function correctly only
// when it has external linkage.
namespace kernels {

// One pass over the mask of a side: the number of true entries of each
// column, and the column sums of the masked values (d_ik ? 1 : 0) * v_i of
// r^2 and of r that skip NaN, added in the order of `nansum_lane` (four
// running sums over the blocks of four rows, then the remaining rows), so
// they equal `nansum_axis` of the masked matrix bit for bit without forming
// it: O(T) memory. The NaN test is a select, not a branch; a running sum
// starts at +0.0 and so never holds -0.0, and adding nothing is the same as
// not adding.
struct SideSums {
    Vector n;
    Vector sq;
    Vector r;
};

// The four running sums of a group of columns take the rows 4b + l, l = 0..3,
// of the blocks of four rows; they are added in the order l = 0..3, and the
// remaining rows follow in order. The masked values are flags (1.0 or 0.0)
// times the values.
template <std::size_t NV>
struct MaskedLaneSums {
    [[gnu::always_inline]] static void run(const lanes::Block& b, BoolMatView mask, const double* r, double* out_n,
                                           double* out_sq, double* out_r) {
        using lanes::v4d;
        v4d ls[4][NV] = {}, lr[4][NV] = {}, count[NV] = {};
        const std::size_t n_rows = mask.rows();
        const std::size_t full = n_rows / 4 * 4;
        auto add = [&](std::size_t i, v4d* acc_sq, v4d* acc_r) __attribute__((always_inline)) {
            const bool* d = mask.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) {
                const v4d f = lanes::load_flags(b, d, g);
                const v4d a = f * (r[i] * r[i]);
                const v4d c = f * r[i];
                const v4d sa = acc_sq[g] + a;
                const v4d sc = acc_r[g] + c;
                acc_sq[g] = a == a ? sa : acc_sq[g];
                acc_r[g] = c == c ? sc : acc_r[g];
                count[g] += f;
            }
        };
        for (std::size_t i = 0; i < full; i += 4) {
            add(i, ls[0], lr[0]);
            add(i + 1, ls[1], lr[1]);
            add(i + 2, ls[2], lr[2]);
            add(i + 3, ls[3], lr[3]);
        }
        v4d s[NV], u[NV];
        for (std::size_t g = 0; g < NV; ++g) {
            const v4d zero = {0.0, 0.0, 0.0, 0.0};
            s[g] = (((zero + ls[0][g]) + ls[1][g]) + ls[2][g]) + ls[3][g];
            u[g] = (((zero + lr[0][g]) + lr[1][g]) + lr[2][g]) + lr[3][g];
        }
        for (std::size_t i = full; i < n_rows; ++i) add(i, s, u);
        for (std::size_t g = 0; g < NV; ++g) {
            lanes::store(b, g, count[g], out_n);
            lanes::store(b, g, s[g], out_sq);
            lanes::store(b, g, u[g], out_r);
        }
    }
};

// The squares r_i * r_i are formed where they are added: the same values as
// the vector of squares of `square_and_full_var_1d`, without storing it.
QEL_TARGET_CLONES("avx2", "default") SideSums side_sums(BoolMatView mask, VecView r) {
    const std::size_t t = mask.cols();
    require(r.contiguous(), "side sums: relevance must be contiguous");
    SideSums out{Vector::uninit(t), Vector::uninit(t), Vector::uninit(t)};
    // Eight running sums and a count per column: one group of four columns
    // at a time keeps them all in registers.
    lanes::over_columns<MaskedLaneSums, 1>(t, mask, r.ptr, out.n.data(), out.sq.data(), out.r.data());
    return out;
}

// The per-threshold factors of the weight formula as arrays, for the lanes.
struct ColumnFactors {
    Vector b;
    Vector c;

    explicit ColumnFactors(const matrix::Array1<PsrColumn>& cols)
        : b(Vector::uninit(cols.size())), c(Vector::uninit(cols.size())) {
        for (std::size_t k = 0; k < cols.size(); ++k) {
            b[k] = cols[k].b;
            c[k] = cols[k].c;
        }
    }
};

// The weight formula of `psr_weight` on four lanes at once, for the masked
// values `m`: the same operations on the same values in every lane, the NaN
// test as a select.
[[gnu::always_inline]] inline lanes::v4d lane_weight(const lanes::v4d& m, const lanes::v4d& fb, const lanes::v4d& fc,
                                                     const lanes::v4d& inv) {
    const lanes::v4d zero = {0.0, 0.0, 0.0, 0.0};
    const lanes::v4d e = m - fc;
    lanes::v4d x = e * fb;
    x = x + inv;
    return x == x ? x : zero;
}

// The factors of group g of a block, in lanes.
template <std::size_t NV>
struct GroupFactors {
    lanes::v4d b[NV], c[NV];

    [[gnu::always_inline]] GroupFactors(const lanes::Block& blk, const ColumnFactors& f) {
        for (std::size_t g = 0; g < NV; ++g) {
            b[g] = lanes::gather(blk, f.b.data(), g);
            c[g] = lanes::gather(blk, f.c.data(), g);
        }
    }

    // The weights of row i (flags `d`, relevance `ri`) in group g. The masked
    // value (d ? 1.0 : 0.0) * ri is ri itself where d is set, and 0.0 * ri
    // (NaN for a NaN or infinite ri) elsewhere: a select between the two.
    [[gnu::always_inline]] lanes::v4d weight(const lanes::Block& blk, const bool* d, double ri, std::size_t g,
                                             const lanes::v4d& inv) const {
        const double off = 0.0 * ri;
        const lanes::v4d on_side = {ri, ri, ri, ri};
        const lanes::v4d off_side = {off, off, off, off};
        return lane_weight(lanes::load_mask(blk, d, g) ? on_side : off_side, b[g], c[g], inv);
    }
};

template <std::size_t NV>
struct WeightRows {
    [[gnu::always_inline]] static void run(const lanes::Block& b, std::size_t first, std::size_t last,
                                           BoolMatView mask, const double* r, const ColumnFactors& f, double inv_n,
                                           matrix::MatMut w) {
        const GroupFactors<NV> gf(b, f);
        const lanes::v4d inv = {inv_n, inv_n, inv_n, inv_n};
        for (std::size_t i = first; i < last; ++i) {
            const bool* d = mask.row(i).data();
            double* out = w.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) lanes::store_row(b, out, g, gf.weight(b, d, r[i], g, inv));
        }
    }
};

QEL_TARGET_CLONES("avx2", "default")
void fill_weight_rows(std::size_t first, std::size_t last, BoolMatView mask, VecView r, const ColumnFactors& f,
                      double inv_n, matrix::MatMut w) {
    lanes::over_columns<WeightRows>(mask.cols(), first, last, mask, r.ptr, f, inv_n, w);
}

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

QEL_TARGET_CLONES("avx2", "default")
void streamed_outcomes(BoolMatView mask, VecView r, VecView y, const ColumnFactors& f, double inv_n, double* yhat) {
    lanes::over_columns<StreamedOutcomes, 2>(mask.cols(), mask, r, y, f, inv_n, yhat);
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

QEL_TARGET_CLONES("avx2", "default")
void weight_sums(BoolMatView mask, VecView r, const ColumnFactors& f, double inv_n, double* sums) {
    lanes::over_columns<WeightSums, 2>(mask.cols(), mask, r, f, inv_n, sums);
}

QEL_TARGET_CLONES("avx2", "default")
void centred_sums(BoolMatView mask, VecView r, VecView y, double ybar, const ColumnFactors& f, double inv_n,
                  const double* wbar, double* c, double* vw, double* q) {
    lanes::over_columns<CentredSums, 1>(mask.cols(), mask, r, y, ybar, f, inv_n, wbar, c, vw, q);
}

// Both sides at once, for a run whose passes go one after the other: the
// column sums of either side's weights and the include side's predictions
// in one pass, then either side's centred sums in another. Each running sum
// takes the same operations in the same row order as in its own pass; side
// by side their chains of additions overlap instead of waiting each alone.
template <std::size_t NV>
struct BothWeightSums {
    [[gnu::always_inline]] static void run(const lanes::Block& b, BoolMatView in_mask, BoolMatView ex_mask, VecView r,
                                           VecView y, const ColumnFactors& f_in, const ColumnFactors& f_ex,
                                           double inv_n, double* sums_in, double* sums_ex, double* yhat) {
        const GroupFactors<NV> g_in(b, f_in), g_ex(b, f_ex);
        const lanes::v4d inv = {inv_n, inv_n, inv_n, inv_n};
        lanes::v4d s_in[NV] = {}, s_ex[NV] = {}, yh[NV] = {};
        for (std::size_t i = 0; i < in_mask.rows(); ++i) {
            const bool* d_in = in_mask.row(i).data();
            const bool* d_ex = ex_mask.row(i).data();
            for (std::size_t g = 0; g < NV; ++g) {
                const lanes::v4d w_in = g_in.weight(b, d_in, r[i], g, inv);
                const lanes::v4d w_ex = g_ex.weight(b, d_ex, r[i], g, inv);
                s_in[g] = s_in[g] + w_in;
                s_ex[g] = s_ex[g] + w_ex;
                yh[g] = w_in * y[i] + yh[g];
            }
        }
        for (std::size_t g = 0; g < NV; ++g) {
            lanes::store(b, g, s_in[g], sums_in);
            lanes::store(b, g, s_ex[g], sums_ex);
            lanes::store(b, g, yh[g], yhat);
        }
    }
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

template <std::size_t NV>
struct BothCentredSums {
    [[gnu::always_inline]] static void run(const lanes::Block& b, BoolMatView in_mask, BoolMatView ex_mask, VecView r,
                                           VecView y, double ybar, const ColumnFactors& f_in,
                                           const ColumnFactors& f_ex, double inv_n, const double* wbar_in,
                                           const double* wbar_ex, double* out_in, double* out_ex, std::size_t t) {
        const GroupFactors<NV> g_in(b, f_in), g_ex(b, f_ex);
        const lanes::v4d inv = {inv_n, inv_n, inv_n, inv_n};
        CentredAcc in[NV], ex[NV];
        for (std::size_t g = 0; g < NV; ++g) {
            in[g].mean = lanes::gather(b, wbar_in, g);
            ex[g].mean = lanes::gather(b, wbar_ex, g);
        }
        for (std::size_t i = 0; i < in_mask.rows(); ++i) {
            const bool* d_in = in_mask.row(i).data();
            const bool* d_ex = ex_mask.row(i).data();
            const double dy = y[i] - ybar;
            const double dy2 = dy * dy;
            for (std::size_t g = 0; g < NV; ++g) {
                in[g].add(g_in.weight(b, d_in, r[i], g, inv), dy, dy2);
                ex[g].add(g_ex.weight(b, d_ex, r[i], g, inv), dy, dy2);
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

QEL_TARGET_CLONES("avx2", "default")
void both_weight_sums(BoolMatView in_mask, BoolMatView ex_mask, VecView r, VecView y, const ColumnFactors& f_in,
                      const ColumnFactors& f_ex, double inv_n, double* sums_in, double* sums_ex, double* yhat) {
    lanes::over_columns<BothWeightSums, 1>(in_mask.cols(), in_mask, ex_mask, r, y, f_in, f_ex, inv_n, sums_in,
                                           sums_ex, yhat);
}

QEL_TARGET_CLONES("avx2", "default")
void both_centred_sums(BoolMatView in_mask, BoolMatView ex_mask, VecView r, VecView y, double ybar,
                       const ColumnFactors& f_in, const ColumnFactors& f_ex, double inv_n, const double* wbar_in,
                       const double* wbar_ex, double* out_in, double* out_ex) {
    lanes::over_columns<BothCentredSums, 1>(in_mask.cols(), in_mask, ex_mask, r, y, ybar, f_in, f_ex, inv_n, wbar_in,
                                            wbar_ex, out_in, out_ex, in_mask.cols());
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

// Adds, in column order, the terms w_ik * a_k of group g of block `blk` for
// the four rows from i to the running sums `s` (one row per lane). A column
// the block does not own adds +0.0 instead, by a select: a sum that starts
// at +0.0 never holds -0.0, so that leaves it as it is, and no branch keeps
// the sums from staying in registers.
[[gnu::always_inline]] inline void add_group_terms(const lanes::Block& blk, const GroupFactors<1>& gf,
                                                   const lanes::v4d& a, BoolMatView mask, std::size_t i,
                                                   const lanes::v4d& ri, const lanes::v4d& inv,
                                                   const lanes::v4l owned[4], lanes::v4d& s) {
    const lanes::v4d zero = {0.0, 0.0, 0.0, 0.0};
    lanes::v4d terms[4], cols[4];
    for (std::size_t l = 0; l < 4; ++l) terms[l] = gf.weight(blk, mask.row(i + l).data(), ri[l], 0, inv) * a;
    transpose(terms, cols);
    for (std::size_t j = 0; j < 4; ++j) s = s + (owned[j] ? cols[j] : zero);
}

// Per row, s = s + w_ik * a_k over the thresholds in order, from 0.0, for
// both sides. Four rows at a time: their weights are formed four columns to
// a vector, turned so that each lane holds one row, and added column by
// column, so each row keeps its own order of additions.
QEL_TARGET_CLONES("avx2", "default")
void mix_rows(BoolMatView include, BoolMatView exclude, VecView r, const ColumnFactors& f_in,
              const ColumnFactors& f_ex, double inv_n, VecView a, VecView b, double* in, double* ex) {
    const std::size_t n_rows = include.rows();
    const std::size_t t = include.cols();
    const std::size_t full = n_rows / 4 * 4;
    const lanes::v4d inv = {inv_n, inv_n, inv_n, inv_n};
    if (t == 0) {
        std::fill_n(in, full, 0.0);
        std::fill_n(ex, full, 0.0);
    }
    for (std::size_t first = 0; first < t; first += lanes::kLanes) {
        const lanes::Block blk = lanes::block_at(t, first, 1);
        const GroupFactors<1> g_in(blk, f_in), g_ex(blk, f_ex);
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
            const lanes::v4d ri = {r[i], r[i + 1], r[i + 2], r[i + 3]};
            lanes::v4d s_in = {0.0, 0.0, 0.0, 0.0}, s_ex = {0.0, 0.0, 0.0, 0.0};
            if (first != 0) {
                std::memcpy(&s_in, in + i, sizeof s_in);
                std::memcpy(&s_ex, ex + i, sizeof s_ex);
            }
            add_group_terms(blk, g_in, va, include, i, ri, inv, owned, s_in);
            add_group_terms(blk, g_ex, vb, exclude, i, ri, inv, owned, s_ex);
            std::memcpy(in + i, &s_in, sizeof s_in);
            std::memcpy(ex + i, &s_ex, sizeof s_ex);
        }
    }
    for (std::size_t i = full; i < n_rows; ++i) {
        double s_in = 0.0, s_ex = 0.0;
        for (std::size_t k = 0; k < t; ++k) {
            const PsrColumn cin{f_in.b[k], f_in.c[k]};
            const PsrColumn cex{f_ex.b[k], f_ex.c[k]};
            s_in = s_in + psr_weight(psr_masked(include(i, k), r[i]), cin, inv_n) * a[k];
            s_ex = s_ex + psr_weight(psr_masked(exclude(i, k), r[i]), cex, inv_n) * b[k];
        }
        in[i] = s_in;
        ex[i] = s_ex;
    }
}

}  // namespace kernels

namespace {

// Below this a side variance is no divisor.
constexpr double kPartVarTolerance = 1e-10;
// Below this a count is no divisor.
constexpr double kCountTolerance = 1e-10;

std::string shape_text(std::size_t rows, std::size_t cols) { return format("[{}, {}]", rows, cols); }

matrix::Array1<PsrColumn> columns_of(const PsrSide& side) {
    auto cols = matrix::Array1<PsrColumn>::uninit(side.lambda_sq.size());
    for (std::size_t k = 0; k < side.lambda_sq.size(); ++k) cols[k] = psr_column(side, k);
    return cols;
}

void require_side(const PsrSide& side, BoolMatView mask, std::size_t n_rows, std::size_t r_len) {
    const std::size_t t = mask.cols();
    require(side.lambda_sq.size() >= t && side.phi.size() >= t && side.n.size() >= t && side.part_mean.size() >= t,
            "partial-sample side shorter than the thresholds of its mask");
    require(mask.rows() == n_rows && r_len >= n_rows, "relevance and mask lengths differ");
}

// The per-threshold values of a side from its counts and its NaN-skipping
// sums of r^2 (s) and of r (u) over the side; the materialised and the
// streamed side data both end here.
void finish_side(PsrSide& side, const Vector& s, const Vector& u, VecView full_var) {
    const std::size_t t = side.n.size();
    side.part_var = Vector::uninit(t);
    for (std::size_t k = 0; k < t; ++k) side.part_var[k] = s[k] / (side.n[k] - 1.0);

    side.lambda_sq = Vector(t, 1.0);
    const matrix::BoolVector divisible =
        matrix::mask::apply_mask::get_array_mask_nonzero(side.part_var.view(), kPartVarTolerance);
    for (std::size_t k = 0; k < t; ++k) {
        if (divisible[k]) side.lambda_sq[k] = full_var[k] / side.part_var[k];
    }

    side.part_mean = Vector(t, 0.0);
    for (std::size_t k = 0; k < t; ++k) {
        if (std::fabs(side.n[k]) >= kCountTolerance) side.part_mean[k] = u[k] / side.n[k];
    }
}

// The side data of `mask`: the same values as `psr_side_from_squares`,
// without its N x T work matrix. `rows` x `cols` is the shape that work
// matrix would have (the include mask's).
Result<PsrSide> psr_side_streamed(BoolMatView mask, VecView r, VecView full_var, std::size_t rows, std::size_t cols,
                                  double n_f) {
    if (rows != mask.rows() || cols != mask.cols()) {
        return compute_error(format("psr_side_from_squares: work {} vs mask {}", shape_text(rows, cols),
                                    shape_text(mask.rows(), mask.cols())));
    }
    require(r.size() == mask.rows() && full_var.size() == mask.cols(),
            "psr side: relevance or full variance do not match the mask");
    kernels::SideSums sums = kernels::side_sums(mask, r);
    PsrSide side;
    side.n = std::move(sums.n);
    side.phi = Vector::uninit(mask.cols());
    for (std::size_t k = 0; k < mask.cols(); ++k) side.phi[k] = side.n[k] / n_f;
    finish_side(side, sums.sq, sums.r, full_var);
    return side;
}

// Both sides of a run from their masks (the shapes checked against the
// include mask's, as the work matrix of the materialised form would be).
Result<PsrEval> eval_sides(BoolMatView include, BoolMatView exclude, VecView r, double n_f) {
    // The full variance of `square_and_full_var_1d`, its squares formed on the fly.
    const std::size_t rows = include.rows();
    const std::size_t cols = include.cols();
    const Vector full_var(cols, matrix::nan::array2d::nansum_of_squares(r) / (n_f - 1.0));
    // The two sides are independent passes; for many rows they run side by side.
    std::optional<Result<PsrSide>> in_side, ex_side;
    parallel::join_if(
        rows >= parallel::kParallelRowsFrom,
        [&] { in_side.emplace(psr_side_streamed(include, r, full_var.view(), rows, cols, n_f)); },
        [&] { ex_side.emplace(psr_side_streamed(exclude, r, full_var.view(), rows, cols, n_f)); });
    if (!*in_side) return std::unexpected(std::move(in_side->error()));
    if (!*ex_side) return std::unexpected(std::move(ex_side->error()));
    return PsrEval{std::move(**in_side), std::move(**ex_side), full_var, n_f};
}

}  // namespace

PsrDetails PsrSide::details(VecView full_var) const {
    return PsrDetails{lambda_sq, phi, Vector::from(full_var), part_var, n};
}

SquaresAndFullVar square_and_full_var_1d(VecView r, std::size_t t, double n_f) {
    Vector sq = Vector::uninit(r.size());
    for (std::size_t i = 0; i < r.size(); ++i) sq[i] = r[i] * r[i];
    Vector scratch;
    const double s = matrix::nan::array2d::nansum_lane(sq.view(), scratch);
    const double f = s / (n_f - 1.0);
    return SquaresAndFullVar{std::move(sq), Vector(t, f)};
}

Result<PsrSide> psr_side_from_squares(BoolMatView mask, VecView r, VecView sq, VecView full_var, MatMut work,
                                      double n_f) {
    const std::size_t n_rows = mask.rows();
    const std::size_t t = mask.cols();
    PsrSide side;
    side.n = matrix::mask::true_count::true_count_axis(mask, matrix::Each::Column);
    side.phi = Vector::uninit(t);
    for (std::size_t k = 0; k < t; ++k) side.phi[k] = side.n[k] / n_f;

    if (work.rows() != n_rows || work.cols() != t) {
        return compute_error(format("psr_side_from_squares: work {} vs mask {}", shape_text(work.rows(), work.cols()),
                                    shape_text(n_rows, t)));
    }
    require(r.size() == n_rows && sq.size() == n_rows && full_var.size() == t,
            "psr_side_from_squares: relevance, squares or full variance do not match the mask");

    // The NaN-skipping column sums of the masked values of v, the work matrix
    // left holding them.
    auto masked_sums = [&](VecView v) {
        for (std::size_t i = 0; i < n_rows; ++i) {
            const auto d = mask.row(i);
            const auto out = work.row(i);
            for (std::size_t k = 0; k < t; ++k) out[k] = psr_masked(d[k], v[i]);
        }
        return matrix::nan::array2d::nansum_axis(MatView(work));
    };
    const Vector s = masked_sums(sq);
    const Vector u = masked_sums(r);
    finish_side(side, s, u, full_var);
    return side;
}

Matrix psr_fill_weights(MatView work, const PsrSide& side, double n_f) {
    const std::size_t n_rows = work.rows();
    const std::size_t t = work.cols();
    require(side.lambda_sq.size() >= t && side.phi.size() >= t && side.n.size() >= t && side.part_mean.size() >= t,
            "partial-sample side shorter than the thresholds of its work matrix");
    const double inv_n = 1.0 / n_f;
    const matrix::Array1<PsrColumn> cols = columns_of(side);
    Matrix w = Matrix::uninit(n_rows, t);
    for (std::size_t i = 0; i < n_rows; ++i) {
        const auto m = work.row(i);
        const auto out = w.row(i);
        for (std::size_t k = 0; k < t; ++k) out[k] = psr_weight(m[k], cols[k], inv_n);
    }
    return w;
}

Result<PsrWeights> psr_weights_include_exclude(BoolMatView include, BoolMatView exclude, VecView r, double n_f) {
    require(r.size() == include.rows() && exclude.rows() == include.rows(),
            "psr_weights_include_exclude: relevance and masks differ in length");
    // The side data as the work-matrix form computes it (`psr_side_from_squares`
    // gives the same bits), then both weight matrices in one pass whose rows
    // are independent of each other.
    auto ev = eval_sides(include, exclude, r, n_f);
    if (!ev) return std::unexpected(std::move(ev.error()));
    const std::size_t n_rows = include.rows();
    const std::size_t t = include.cols();
    const double inv_n = 1.0 / n_f;
    const matrix::Array1<PsrColumn> cols_in = columns_of(ev->include_side);
    const matrix::Array1<PsrColumn> cols_ex = columns_of(ev->exclude_side);
    PsrWeights out;
    out.weights = Matrix::uninit(n_rows, t);
    out.weights_excluded = Matrix::uninit(n_rows, t);
    const kernels::ColumnFactors f_in(cols_in), f_ex(cols_ex);
    parallel::for_row_blocks(n_rows, [&](std::size_t first, std::size_t last) {
        kernels::fill_weight_rows(first, last, include, r, f_in, inv_n, out.weights.view_mut());
        kernels::fill_weight_rows(first, last, exclude, r, f_ex, inv_n, out.weights_excluded.view_mut());
    });
    out.details = ev->include_side.details(ev->full_var.view());
    return out;
}

Result<PsrEval> psr_eval_include_exclude(BoolMatView include, BoolMatView exclude, VecView r, double n_f) {
    require(r.size() == include.rows() && exclude.rows() == include.rows(),
            "psr_eval_include_exclude: relevance and masks differ in length");
    // No work matrix here: the streamed path stays at O(N + T) beyond the masks.
    return eval_sides(include, exclude, r, n_f);
}

fit::FitResult psr_stream_fit(VecView y, VecView r, BoolMatView mask, const PsrSide& side, double n_f) {
    return psr_stream_fit(y, outcome_spread(y), r, mask, side, n_f);
}

namespace {

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

    StreamedStatistics out;
    out.yhat = Vector::uninit(t);
    Vector wbar_in = Vector::uninit(t), wbar_ex = Vector::uninit(t);
    kernels::both_weight_sums(include, exclude, r, y, f_in, f_ex, inv_n, wbar_in.data(), wbar_ex.data(),
                              out.yhat.data());
    for (std::size_t k = 0; k < t; ++k) {
        wbar_in[k] = wbar_in[k] / n;
        wbar_ex[k] = wbar_ex[k] / n;
    }
    Vector sums_in = Vector::uninit(3 * t), sums_ex = Vector::uninit(3 * t);
    kernels::both_centred_sums(include, exclude, r, y, spread.mean, f_in, f_ex, inv_n, wbar_in.data(), wbar_ex.data(),
                               sums_in.data(), sums_ex.data());
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
                                 VecView b) {
    const std::size_t n_rows = include.rows();
    const std::size_t t = include.cols();
    require(exclude.rows() == n_rows && exclude.cols() == t, "psr_stream_mix: masks differ in shape");
    require(a.size() >= t && b.size() >= t, "psr_stream_mix: coefficients shorter than the thresholds");
    require_side(eval.include_side, include, n_rows, r.size());
    require_side(eval.exclude_side, exclude, n_rows, r.size());
    const kernels::ColumnFactors f_in(columns_of(eval.include_side)), f_ex(columns_of(eval.exclude_side));
    CellAdjFitWeights out{Vector::uninit(n_rows), Vector::uninit(n_rows)};
    kernels::mix_rows(include, exclude, r, f_in, f_ex, 1.0 / eval.n_total, a, b, out.include.data(),
                      out.exclude.data());
    return out;
}

}  // namespace toolbox::qel::insights::weights::psr_weights

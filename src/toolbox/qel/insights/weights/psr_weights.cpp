// The side data of the partial-sample weights, per threshold and side of the
// censor, and the materialised N x T weight matrices of both sides.
#include "toolbox/qel/insights/weights/psr_weights.hpp"

#include <cmath>
#include <string>
#include <type_traits>
#include <utility>

#include "toolbox/format.hpp"
#include "toolbox/matrix/mask.hpp"
#include "toolbox/matrix/nan/array2d.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/qel/insights/weights/psr_lanes.hpp"
#include "toolbox/simd.hpp"

namespace toolbox::qel::insights::weights::psr_weights {

using matrix::BoolMatView;
using matrix::Matrix;
using matrix::MatMut;
using matrix::MatView;
using matrix::Vector;
using matrix::VecView;
namespace lanes = matrix::lanes;

// The vector kernels, each with a copy per instruction set (toolbox/simd.hpp).
namespace kernels {

// Both sides' masks read together: the number of true entries of each
// column, and the column sums of the masked values (d_ik ? 1 : 0) * v_i of
// r^2 and of r that skip NaN, added in the order of `nansum_lane` (four
// running sums over the blocks of four rows, then the remaining rows), so
// they equal `nansum_axis` of each side's masked matrix bit for bit without
// forming it: O(T) memory. The NaN test is a select, not a branch; a running
// sum starts at +0.0 and so never holds -0.0, and adding nothing is the same
// as not adding.
struct SideSums {
    Vector n;
    Vector sq;
    Vector r;
};

// A side's lanes: one side in four, or both in eight.
template <bool Both>
using SideLanes = std::conditional_t<Both, lanes::v8d, lanes::v4d>;

// Row i added to one set of running sums.
template <bool Both>
[[gnu::always_inline]] inline void add_masked_row(const lanes::Block& b, BoolMatView include, BoolMatView exclude,
                                                  const double* r, std::size_t i, SideLanes<Both>& acc_sq,
                                                  SideLanes<Both>& acc_r, SideLanes<Both>& count) {
    using V = SideLanes<Both>;
    V f;
    if constexpr (Both) {
        f = lanes::concat(lanes::load_flags(b, include.row(i).data(), 0),
                          lanes::load_flags(b, exclude.row(i).data(), 0));
    } else {
        f = lanes::load_flags(b, include.row(i).data(), 0);
    }
    const V a = f * (r[i] * r[i]);
    const V c = f * r[i];
    const V sa = acc_sq + a;
    const V sc = acc_r + c;
    acc_sq = a == a ? sa : acc_sq;
    acc_r = c == c ? sc : acc_r;
    count += f;
}

// The four running sums combined in their order, then the rows past the
// last block of four added in order.
template <bool Both>
[[gnu::always_inline]] inline void finish_lane_sums(const lanes::Block& b, BoolMatView include, BoolMatView exclude,
                                                    const double* r, const SideLanes<Both> (&ls)[4],
                                                    const SideLanes<Both> (&lr)[4], const SideLanes<Both> (&lc)[4],
                                                    SideSums& in, SideSums& ex) {
    using V = SideLanes<Both>;
    const std::size_t n_rows = include.rows();
    const V zero = {};
    V s = (((zero + ls[0]) + ls[1]) + ls[2]) + ls[3];
    V u = (((zero + lr[0]) + lr[1]) + lr[2]) + lr[3];
    V count = ((lc[0] + lc[1]) + lc[2]) + lc[3];
    for (std::size_t i = n_rows / 4 * 4; i < n_rows; ++i) add_masked_row<Both>(b, include, exclude, r, i, s, u, count);
    if constexpr (Both) {
        lanes::store(b, 0, lanes::low(count), in.n.data());
        lanes::store(b, 0, lanes::low(s), in.sq.data());
        lanes::store(b, 0, lanes::low(u), in.r.data());
        lanes::store(b, 0, lanes::high(count), ex.n.data());
        lanes::store(b, 0, lanes::high(s), ex.sq.data());
        lanes::store(b, 0, lanes::high(u), ex.r.data());
    } else {
        lanes::store(b, 0, count, in.n.data());
        lanes::store(b, 0, s, in.sq.data());
        lanes::store(b, 0, u, in.r.data());
    }
}

// The running sums of a group of four columns take the rows 4b + l, l =
// 0..3, of the blocks of four rows; they are added in the order l = 0..3,
// and the remaining rows follow in order. The masked values are flags (1.0
// or 0.0) times the values. `Both` takes both sides in vectors of eight,
// the include side's columns in the first four lanes and the exclude side's
// in the others: every lane does what its side's own pass would, and a
// row's values are read once for both. Otherwise the include mask's sums
// alone, to `in`. The counts add whole numbers, exactly in any order: they
// too take the rows four ways, so that no chain of additions runs through
// every row.
template <bool Both>
[[gnu::always_inline]] inline void masked_lane_sums(const lanes::Block& b, BoolMatView include, BoolMatView exclude,
                                                    const double* r, SideSums& in, SideSums& ex) {
    SideLanes<Both> ls[4] = {}, lr[4] = {}, lc[4] = {};
    const std::size_t full = include.rows() / 4 * 4;
    for (std::size_t i = 0; i < full; i += 4) {
        for (std::size_t l = 0; l < 4; ++l) add_masked_row<Both>(b, include, exclude, r, i + l, ls[l], lr[l], lc[l]);
    }
    finish_lane_sums<Both>(b, include, exclude, r, ls, lr, lc, in, ex);
}

// One side's running sums of the rows 4b + l alone, for every group of four
// columns: `sums` holds them, the group's lanes at its columns, for the
// squares, the values and the counts.
struct OneLaneSums {
    template <simd::Level>
    [[gnu::always_inline]] static void run(BoolMatView mask, const double* r, std::size_t l, SideSums& sums) {
        const std::size_t t = mask.cols();
        const std::size_t full = mask.rows() / 4 * 4;
        for (std::size_t first = 0; first < t; first += lanes::kLanes) {
            const lanes::Block b = lanes::block_at(t, first, 1);
            lanes::v4d sq = {}, rr = {}, count = {};
            for (std::size_t i = l; i < full; i += 4) add_masked_row<false>(b, mask, mask, r, i, sq, rr, count);
            lanes::store(b, 0, sq, sums.sq.data());
            lanes::store(b, 0, rr, sums.r.data());
            lanes::store(b, 0, count, sums.n.data());
        }
    }
};

// One side's sums from its four sets of running sums.
struct FinishSide {
    template <simd::Level>
    [[gnu::always_inline]] static void run(BoolMatView mask, const double* r, const SideSums (&lanes_of)[4],
                                           SideSums& side) {
        const std::size_t t = mask.cols();
        for (std::size_t first = 0; first < t; first += lanes::kLanes) {
            const lanes::Block b = lanes::block_at(t, first, 1);
            lanes::v4d ls[4], lr[4], lc[4];
            for (std::size_t l = 0; l < 4; ++l) {
                ls[l] = lanes::gather(b, lanes_of[l].sq.data(), 0);
                lr[l] = lanes::gather(b, lanes_of[l].r.data(), 0);
                lc[l] = lanes::gather(b, lanes_of[l].n.data(), 0);
            }
            finish_lane_sums<false>(b, mask, mask, r, ls, lr, lc, side, side);
        }
    }
};

// Both sides a group of four columns at a time (their running sums then
// stay in registers): together with AVX-512, one after the other below it,
// where vectors of eight are no single registers.
struct BothSideSums {
    static constexpr simd::Level kWidest = simd::Level::Avx512;

    template <simd::Level L>
    [[gnu::always_inline]] static void run(BoolMatView include, BoolMatView exclude, const double* r, SideSums& in,
                                           SideSums& ex) {
        const std::size_t t = include.cols();
        for (std::size_t first = 0; first < t; first += lanes::kLanes) {
            const lanes::Block b = lanes::block_at(t, first, 1);
            if constexpr (L == simd::Level::Avx512) {
                masked_lane_sums<true>(b, include, exclude, r, in, ex);
            } else {
                masked_lane_sums<false>(b, include, include, r, in, in);
                masked_lane_sums<false>(b, exclude, exclude, r, ex, ex);
            }
        }
    }
};

// The squares r_i * r_i are formed where they are added: the same values as
// the vector of squares of `square_and_full_var_1d`, without storing it.
// Many rows on several workers take each side's four running sums on a
// worker each, eight at once: a pass is bound by its arithmetic more than by
// reading the rows, and a million rows took 2.0 ms for both sides in one
// pass. One worker keeps the one pass, which reads the rows once.
void both_side_sums(BoolMatView include, BoolMatView exclude, VecView r, SideSums& in, SideSums& ex) {
    const std::size_t t = include.cols();
    require(r.contiguous(), "side sums: relevance must be contiguous");
    auto sums_of = [t] { return SideSums{Vector::uninit(t), Vector::uninit(t), Vector::uninit(t)}; };
    in = sums_of();
    ex = sums_of();
    if (include.rows() < parallel::kParallelRowsFrom || parallel::worker_count() <= 1) {
        simd::run<BothSideSums>(include, exclude, r.ptr, in, ex);
        return;
    }
    SideSums lanes_of[2][4];
    for (auto& side : lanes_of)
        for (SideSums& l : side) l = sums_of();
    const BoolMatView masks[2] = {include, exclude};
    parallel::parallel_for(0, 8, 1, [&](std::size_t task) {
        simd::run<OneLaneSums>(masks[task / 4], r.ptr, task % 4, lanes_of[task / 4][task % 4]);
    });
    simd::run<FinishSide>(include, r.ptr, lanes_of[0], in);
    simd::run<FinishSide>(exclude, r.ptr, lanes_of[1], ex);
}

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

void fill_weight_rows(std::size_t first, std::size_t last, BoolMatView mask, VecView r, const ColumnFactors& f,
                      double inv_n, matrix::MatMut w) {
    simd::run<lanes::OverColumns<WeightRows>>(mask.cols(), first, last, mask, r.ptr, f, inv_n, w);
}

}  // namespace kernels

namespace {

// Below this a side variance is no divisor.
constexpr double kPartVarTolerance = 1e-10;
// Below this a count is no divisor.
constexpr double kCountTolerance = 1e-10;

std::string shape_text(std::size_t rows, std::size_t cols) { return format("[{}, {}]", rows, cols); }

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

// The side data of a side's mask from its sums: the same values as
// `psr_side_from_squares`, without its N x T work matrix.
PsrSide side_of(kernels::SideSums sums, VecView full_var, double n_f) {
    PsrSide side;
    const std::size_t t = sums.n.size();
    side.n = std::move(sums.n);
    side.phi = Vector::uninit(t);
    for (std::size_t k = 0; k < t; ++k) side.phi[k] = side.n[k] / n_f;
    finish_side(side, sums.sq, sums.r, full_var);
    return side;
}

// Both sides of a run from their masks, in one pass over them (the shapes
// checked against the include mask's, as the work matrix of the
// materialised form would be).
Result<PsrEval> eval_sides(BoolMatView include, BoolMatView exclude, VecView r, double n_f) {
    const std::size_t rows = include.rows();
    const std::size_t cols = include.cols();
    if (rows != exclude.rows() || cols != exclude.cols()) {
        return compute_error(format("psr_side_from_squares: work {} vs mask {}", shape_text(rows, cols),
                                    shape_text(exclude.rows(), exclude.cols())));
    }
    require(r.size() == rows, "psr side: relevance does not match the masks");
    // The full variance of `square_and_full_var_1d`, its squares formed on the fly.
    const Vector full_var(cols, matrix::nan::array2d::nansum_of_squares(r) / (n_f - 1.0));
    kernels::SideSums in, ex;
    kernels::both_side_sums(include, exclude, r, in, ex);
    return PsrEval{side_of(std::move(in), full_var.view(), n_f), side_of(std::move(ex), full_var.view(), n_f),
                   full_var, n_f};
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

}  // namespace toolbox::qel::insights::weights::psr_weights

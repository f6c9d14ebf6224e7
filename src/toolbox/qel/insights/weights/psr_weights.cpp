#include "toolbox/qel/insights/weights/psr_weights.hpp"

#include <cstdint>
#include <utility>

#include "toolbox/format.hpp"
#include "toolbox/matrix/mask.hpp"
#include "toolbox/matrix/nan/array2d.hpp"
#include "toolbox/parallel/pool.hpp"

namespace toolbox::qel::insights::weights::psr_weights {

using matrix::BoolMatView;
using matrix::Matrix;
using matrix::MatMut;
using matrix::MatView;
using matrix::Vector;
using matrix::VecView;

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

SideSums side_sums(BoolMatView mask, VecView sq, VecView r) {
    const std::size_t n_rows = mask.rows();
    const std::size_t t = mask.cols();
    Matrix lanes(8, t);  // rows 0..3: running sums of sq; 4..7: of r
    matrix::Array1<std::uint64_t> count(t);
    const std::size_t full = n_rows / 4 * 4;
    auto add_row = [&](std::size_t i, double* acc_sq, double* acc_r) {
        const bool* d = mask.row(i).data();
        const double vs = sq[i];
        const double vr = r[i];
        for (std::size_t k = 0; k < t; ++k) {
            const double a = psr_masked(d[k], vs);
            const double b = psr_masked(d[k], vr);
            const double sa = acc_sq[k] + a;
            const double sb = acc_r[k] + b;
            acc_sq[k] = a == a ? sa : acc_sq[k];
            acc_r[k] = b == b ? sb : acc_r[k];
            count[k] += d[k];
        }
    };
    for (std::size_t i = 0; i < full; ++i) add_row(i, lanes.row(i % 4).data(), lanes.row(4 + i % 4).data());
    SideSums out{Vector::uninit(t), Vector::uninit(t), Vector::uninit(t)};
    for (std::size_t k = 0; k < t; ++k) {
        out.sq[k] = (((0.0 + lanes(0, k)) + lanes(1, k)) + lanes(2, k)) + lanes(3, k);
        out.r[k] = (((0.0 + lanes(4, k)) + lanes(5, k)) + lanes(6, k)) + lanes(7, k);
    }
    for (std::size_t i = full; i < n_rows; ++i) add_row(i, out.sq.data(), out.r.data());
    for (std::size_t k = 0; k < t; ++k) out.n[k] = static_cast<double>(count[k]);
    return out;
}

// The side data of `mask`: the same values as `psr_side_from_squares`,
// without its N x T work matrix. `rows` x `cols` is the shape that work
// matrix would have (the include mask's).
Result<PsrSide> psr_side_streamed(BoolMatView mask, VecView r, VecView sq, VecView full_var, std::size_t rows,
                                  std::size_t cols, double n_f) {
    if (rows != mask.rows() || cols != mask.cols()) {
        return compute_error(format("psr_side_from_squares: work {} vs mask {}", shape_text(rows, cols),
                                    shape_text(mask.rows(), mask.cols())));
    }
    require(r.size() == mask.rows() && sq.size() == mask.rows() && full_var.size() == mask.cols(),
            "psr side: relevance, squares or full variance do not match the mask");
    SideSums sums = side_sums(mask, sq, r);
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
    SquaresAndFullVar sf = square_and_full_var_1d(r, include.cols(), n_f);
    const std::size_t rows = include.rows();
    const std::size_t cols = include.cols();
    auto in_side = psr_side_streamed(include, r, sf.sq.view(), sf.full_var.view(), rows, cols, n_f);
    if (!in_side) return std::unexpected(std::move(in_side.error()));
    auto ex_side = psr_side_streamed(exclude, r, sf.sq.view(), sf.full_var.view(), rows, cols, n_f);
    if (!ex_side) return std::unexpected(std::move(ex_side.error()));
    return PsrEval{std::move(*in_side), std::move(*ex_side), std::move(sf.full_var), n_f};
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
    side.n = matrix::mask::true_count::true_count_axis(mask, 0);
    side.phi = Vector::uninit(t);
    for (std::size_t k = 0; k < t; ++k) side.phi[k] = side.n[k] / n_f;

    if (work.rows() != n_rows || work.cols() != t) {
        return compute_error(format("psr_side_from_squares: work {} vs mask {}", shape_text(work.rows(), work.cols()),
                                    shape_text(n_rows, t)));
    }
    require(r.size() == n_rows && sq.size() == n_rows && full_var.size() == t,
            "psr_side_from_squares: relevance, squares or full variance do not match the mask");

    for (std::size_t i = 0; i < n_rows; ++i) {
        const auto d = mask.row(i);
        const auto out = work.row(i);
        const double v = sq[i];
        for (std::size_t k = 0; k < t; ++k) out[k] = psr_masked(d[k], v);
    }
    const Vector s = matrix::nan::array2d::nansum_axis(MatView(work));

    for (std::size_t i = 0; i < n_rows; ++i) {
        const auto d = mask.row(i);
        const auto out = work.row(i);
        const double v = r[i];
        for (std::size_t k = 0; k < t; ++k) out[k] = psr_masked(d[k], v);
    }
    const Vector u = matrix::nan::array2d::nansum_axis(MatView(work));
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
    parallel::for_row_blocks(n_rows, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            const bool* din = include.row(i).data();
            const bool* dex = exclude.row(i).data();
            double* win = out.weights.row(i).data();
            double* wex = out.weights_excluded.row(i).data();
            const double ri = r[i];
            for (std::size_t k = 0; k < t; ++k) {
                win[k] = psr_weight(psr_masked(din[k], ri), cols_in[k], inv_n);
                wex[k] = psr_weight(psr_masked(dex[k], ri), cols_ex[k], inv_n);
            }
        }
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
    const std::size_t n_rows = mask.rows();
    const std::size_t t = mask.cols();
    require(y.size() == n_rows, "psr_stream_fit: y and mask differ in length");
    require_side(side, mask, n_rows, r.size());
    const double inv_n = 1.0 / n_f;
    const matrix::Array1<PsrColumn> cols = columns_of(side);

    const double n = static_cast<double>(y.size());
    double ysum = 0.0;
    for (std::size_t i = 0; i < n_rows; ++i) ysum += y[i];
    const double ybar = n_rows == 0 ? 0.0 : ysum / n;

    // First pass: column means of the weights.
    Vector wbar(t);
    for (std::size_t i = 0; i < n_rows; ++i) {
        const auto d = mask.row(i);
        const double ri = r[i];
        for (std::size_t k = 0; k < t; ++k) wbar[k] += psr_weight(psr_masked(d[k], ri), cols[k], inv_n);
    }
    for (std::size_t k = 0; k < t; ++k) wbar[k] = wbar[k] / n;

    // Second pass: the centred sums, weights recomputed.
    Vector c(t), vw(t), q(t);
    double vy = 0.0;
    for (std::size_t i = 0; i < n_rows; ++i) {
        const auto d = mask.row(i);
        const double ri = r[i];
        const double dy = y[i] - ybar;
        const double dy2 = dy * dy;
        for (std::size_t k = 0; k < t; ++k) {
            const double dw = psr_weight(psr_masked(d[k], ri), cols[k], inv_n) - wbar[k];
            c[k] += dy * dw;
            vw[k] += dw * dw;
            q[k] += dy2 * (dw * dw);
        }
        vy += dy2;
    }

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

Vector psr_stream_yhat(VecView y, VecView r, BoolMatView mask, const PsrSide& side, double n_f) {
    const std::size_t n_rows = mask.rows();
    const std::size_t t = mask.cols();
    require(y.size() == n_rows, "psr_stream_yhat: y and mask differ in length");
    require_side(side, mask, n_rows, r.size());
    const double inv_n = 1.0 / n_f;
    const matrix::Array1<PsrColumn> cols = columns_of(side);
    Vector yhat(t);
    for (std::size_t i = 0; i < n_rows; ++i) {
        const auto d = mask.row(i);
        const double ri = r[i];
        const double yi = y[i];
        for (std::size_t k = 0; k < t; ++k) {
            yhat[k] = psr_weight(psr_masked(d[k], ri), cols[k], inv_n) * yi + yhat[k];
        }
    }
    return yhat;
}

PsrMix psr_stream_mix(VecView r, BoolMatView include, BoolMatView exclude, const PsrEval& eval, VecView a,
                      VecView b) {
    const std::size_t n_rows = include.rows();
    const std::size_t t = include.cols();
    require(exclude.rows() == n_rows && exclude.cols() == t, "psr_stream_mix: masks differ in shape");
    require(a.size() >= t && b.size() >= t, "psr_stream_mix: coefficients shorter than the thresholds");
    require_side(eval.include_side, include, n_rows, r.size());
    require_side(eval.exclude_side, exclude, n_rows, r.size());
    const double inv_n = 1.0 / eval.n_total;
    const matrix::Array1<PsrColumn> cols_in = columns_of(eval.include_side);
    const matrix::Array1<PsrColumn> cols_ex = columns_of(eval.exclude_side);
    PsrMix out{Vector::uninit(n_rows), Vector::uninit(n_rows)};
    for (std::size_t i = 0; i < n_rows; ++i) {
        const auto din = include.row(i);
        const auto dex = exclude.row(i);
        const double ri = r[i];
        double s_in = 0.0;
        double s_ex = 0.0;
        for (std::size_t k = 0; k < t; ++k) {
            s_in = s_in + psr_weight(psr_masked(din[k], ri), cols_in[k], inv_n) * a[k];
            s_ex = s_ex + psr_weight(psr_masked(dex[k], ri), cols_ex[k], inv_n) * b[k];
        }
        out.in[i] = s_in;
        out.ex[i] = s_ex;
    }
    return out;
}

}  // namespace toolbox::qel::insights::weights::psr_weights

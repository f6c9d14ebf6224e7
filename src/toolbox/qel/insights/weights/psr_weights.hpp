// Partial-sample regression weights: per threshold, one weight per
// observation such that the weighted sum of the outcomes is the prediction.
// Each side of the censor (retained: include, censored: exclude) is summarised
// per threshold by a `PsrSide`, from which any weight follows by one formula.
//
// Two forms: the materialised one returns the N x T weight matrices; the
// streamed one recomputes each weight from the side data whenever a pass over
// the cells needs it, holding an N x T weight matrix only while it is small
// enough to stay in a core's cache. Both call `psr_weight`, so they agree bit
// for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/insights/fit/fit.hpp"

namespace toolbox::qel::insights::weights::psr_weights {

// The five detail arrays of a side, each T values, in this order.
struct PsrDetails {
    matrix::Vector lambda_sq;
    matrix::Vector phi;
    matrix::Vector full_var;
    matrix::Vector part_var;
    matrix::Vector n;
};

// Summary of one side per threshold (T values each).
struct PsrSide {
    matrix::Vector lambda_sq;  // full_var / part_var; 1.0 where part_var is too small
    matrix::Vector phi;        // n / N
    matrix::Vector part_var;   // sum of r^2 over the side / (n - 1)
    matrix::Vector n;          // observations on the side
    matrix::Vector part_mean;  // mean relevance over the side; 0.0 for an empty side

    PsrDetails details(matrix::VecView full_var) const;
};

// Both sides of one run, what the streamed path needs in place of weights.
struct PsrEval {
    PsrSide include_side;
    PsrSide exclude_side;
    matrix::Vector full_var;
    double n_total = 0.0;
};

// What the streamed prediction receives instead of weight matrices (the
// include mask lives in the results store).
struct GridPsrSummary {
    matrix::BoolMatrix exclude;
    PsrEval eval;
};

// The per-threshold factors of the weight formula. Computing them once per
// column performs the very operations the formula names, on the same inputs.
struct PsrColumn {
    double b;  // lambda_sq / (n - 1.0)
    double c;  // phi * part_mean
};

// Where lambda_sq is 0 (-0.0 included), every observation with a relevance
// weighs 1/N and one without weighs nothing. Both factors 0 give exactly
// that: ((m - 0) * 0) + 1/N is 1/N for a finite m, NaN (stored as 0.0) for a
// NaN one, and such a column never meets an infinite relevance, which would
// make the full variance, and so lambda_sq, infinite or NaN.
inline PsrColumn psr_column(const PsrSide& side, std::size_t k) noexcept {
    if (side.lambda_sq[k] == 0.0) return PsrColumn{0.0, 0.0};
    const double a = side.n[k] - 1.0;
    const double b = side.lambda_sq[k] / a;
    const double c = side.phi[k] * side.part_mean[k];
    return PsrColumn{b, c};
}

// The masked value (d ? 1.0 : 0.0) * v, a product: NaN stays NaN outside the
// side, infinity becomes NaN there.
inline double psr_masked(bool d, double v) noexcept { return (d ? 1.0 : 0.0) * v; }

// The weight formula, the single definition of every partial-sample weight:
// w = ((m - phi * part_mean) * (lambda_sq / (n - 1))) + 1/N, in this order,
// 1/N where lambda_sq is 0 (through the factors of `psr_column`), and 0.0 in
// place of NaN. `inv_n` is 1.0 / N.
//
// An observation without a relevance (m is NaN) weighs 0.0 in every column:
// N counts only the others, so that each column's weights sum to 1 over
// them, the column where lambda_sq is 0 as much as any other.
inline double psr_weight(double m, const PsrColumn& col, double inv_n) noexcept {
    const double e = m - col.c;
    double w = e * col.b;
    w = w + inv_n;
    return std::isnan(w) ? 0.0 : w;
}

struct SquaresAndFullVar {
    matrix::Vector sq;        // r_i^2
    matrix::Vector full_var;  // T copies of (NaN-skipping sum of r^2) / (N - 1)
};

struct PsrWeights {
    matrix::Matrix weights;
    PsrDetails details;  // of the include side
    matrix::Matrix weights_excluded;
};

SquaresAndFullVar square_and_full_var_1d(matrix::VecView r, std::size_t t, double n_f);

// Summarises the side given by `mask`; leaves `work` (shape of the mask)
// holding the masked relevance, which `psr_fill_weights` reads.
Result<PsrSide> psr_side_from_squares(matrix::BoolMatView mask, matrix::VecView r, matrix::VecView sq,
                                      matrix::VecView full_var, matrix::MatMut work, double n_f);

matrix::Matrix psr_fill_weights(matrix::MatView work, const PsrSide& side, double n_f);

Result<PsrWeights> psr_weights_include_exclude(matrix::BoolMatView include, matrix::BoolMatView exclude,
                                               matrix::VecView r, double n_f);

Result<PsrEval> psr_eval_include_exclude(matrix::BoolMatView include, matrix::BoolMatView exclude,
                                         matrix::VecView r, double n_f);

// ---- Streamed forms: no N x T weight matrix ----

// What the fit statistics of both sides share: the spread of y.
using fit::OutcomeSpread;
using fit::outcome_spread;

// Fit statistics of the side's weights against y, equal to those of
// `fit_auto_vectorized` on the materialised weights (up to rounding of the
// sums), including its split at 11 thresholds.
fit::FitResult psr_stream_fit(matrix::VecView y, matrix::VecView r, matrix::BoolMatView mask, const PsrSide& side,
                              double n_f);

// The same with the spread of y computed once by the caller.
fit::FitResult psr_stream_fit(matrix::VecView y, const OutcomeSpread& spread, matrix::VecView r,
                              matrix::BoolMatView mask, const PsrSide& side, double n_f);

// The predictions and both sides' fit statistics of a run at once: what
// psr_stream_yhat of the include side and psr_stream_fit of either side
// give, bit for bit, in two passes over the cells in place of five.
// Both sides' N x T weights, as the first of those passes formed them.
struct BothSideWeights {
    matrix::Matrix include;
    matrix::Matrix exclude;
};

struct StreamedStatistics {
    matrix::Vector yhat;
    fit::FitResult include;
    fit::FitResult exclude;
    // Kept while they are few enough to stay in cache, for psr_stream_mix.
    std::optional<BothSideWeights> weights;
};

StreamedStatistics psr_stream_statistics(matrix::VecView y, const OutcomeSpread& spread, matrix::VecView r,
                                         matrix::BoolMatView include, matrix::BoolMatView exclude,
                                         const PsrEval& eval);

// yhat_k = sum over i of w_ik * y_i.
matrix::Vector psr_stream_yhat(matrix::VecView y, matrix::VecView r, matrix::BoolMatView mask, const PsrSide& side,
                               double n_f);

// Per observation, the weights of each side mixed over the thresholds: what a
// streamed grid cell hands to the composite in place of its weight matrices
// (with a_k = af_k * g_k and b_k = af_k, its adjusted fit).
struct CellAdjFitWeights {
    matrix::Vector include;  // sum over k of w_in(i, k) * a_k
    matrix::Vector exclude;  // sum over k of w_ex(i, k) * b_k
};

// With `kept`, the weights are read from there instead of formed again.
CellAdjFitWeights psr_stream_mix(matrix::VecView r, matrix::BoolMatView include, matrix::BoolMatView exclude,
                                 const PsrEval& eval, matrix::VecView a, matrix::VecView b,
                                 const BothSideWeights* kept = nullptr);

}  // namespace toolbox::qel::insights::weights::psr_weights

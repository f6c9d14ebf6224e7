// How well a set of weights explains the outcomes: per threshold column, the
// correlation of the weights with y, its square, the outlier influence (the
// mean product of the squared z-scores of weight and outcome, scaled by
// 1 / (N - 1)^2) and the agreement (fit minus outlier influence).
#pragma once

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::insights::fit {

struct FitResult {
    matrix::Vector fit;
    matrix::Vector rho;
    matrix::Vector outlier_influence;
    matrix::Vector agreement;
};

// Up to this many threshold columns the statistics run column by column; from
// one more on, as whole-matrix operations. The two differ only for columns
// without spread (outlier influence NaN column by column, 0.0 as a matrix).
inline constexpr std::size_t kMaxPerColumnThresholds = 11;

// The mean of the outcomes (0.0 for none) and the sum of their squared
// deviations from it, each summed in row order: what the fit statistics of
// every set of weights against the same outcomes share.
struct OutcomeSpread {
    double mean = 0.0;
    double sum_sq = 0.0;
};

OutcomeSpread outcome_spread(matrix::VecView y);

// In each form, `column_sums`, when given, holds the plain sum of every
// column of the weights over the rows in order, as the form would take it
// itself, and `spread`, when given, is outcome_spread(y) (a caller that has
// them from another pass saves that pass).

// Column-by-column form.
FitResult fit(matrix::MatView weights, matrix::VecView y, const double* column_sums = nullptr,
              const OutcomeSpread* spread = nullptr);

// Whole-matrix form; N >= 1.
FitResult fit_vectorized(matrix::MatView weights, matrix::VecView y, const double* column_sums = nullptr,
                         const OutcomeSpread* spread = nullptr);

// Chooses the form by the number of threshold columns.
Result<FitResult> fit_auto_vectorized(matrix::MatView weights, matrix::VecView y, const double* column_sums = nullptr,
                                      const OutcomeSpread* spread = nullptr);

}  // namespace toolbox::qel::insights::fit

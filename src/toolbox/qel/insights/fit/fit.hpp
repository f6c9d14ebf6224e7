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

// In each form, `column_sums`, when given, holds the plain sum of every
// column of the weights over the rows in order, as the form would take it
// itself (a caller that has it from another pass saves that pass).

// Column-by-column form.
FitResult fit(matrix::MatView weights, matrix::VecView y, const double* column_sums = nullptr);

// Whole-matrix form; N >= 1.
FitResult fit_vectorized(matrix::MatView weights, matrix::VecView y, const double* column_sums = nullptr);

// Chooses the form by the number of threshold columns.
Result<FitResult> fit_auto_vectorized(matrix::MatView weights, matrix::VecView y, const double* column_sums = nullptr);

}  // namespace toolbox::qel::insights::fit

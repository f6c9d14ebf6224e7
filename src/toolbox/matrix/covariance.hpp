// Column means and sample covariances of an N x K data matrix (rows are
// observations, columns attributes), with NaN as the one missing-value marker.
//
// Missing data is handled by one of two rules: listwise (only the rows without
// any NaN count) or pairwise (every pair of columns over the rows where both
// are present, each column centred on the mean of all its present values).
#pragma once

#include <cstddef>

#include "toolbox/enums/enums.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::covariance {

struct MeanAndN {
    Vector mean;
    std::size_t n = 0;
};

struct CovAndMean {
    Matrix cov;
    Vector mean;
    std::size_t n = 0;
};

// K x K sample covariance (divisor N - 1). A NaN in a column turns that
// column's row and column of the result into NaN. Stops the computation on N = 0.
Matrix cov(MatView x);

// `cov(x)` with the column means it centres on (NaN in a column with a NaN)
// and n = N.
CovAndMean cov_and_mean(MatView x);

// Covariance tolerant of NaN: `cov` when x holds no NaN, otherwise the
// listwise (`listwise` true) or the pairwise covariance. Entries whose pairwise
// count is below 2 are NaN.
Matrix nancov(MatView x, bool listwise);

// Inverse of the covariance matrix `c` by `method`. A covariance too close to
// singular for its inverse to hold a correct digit is an ordinary failure,
// with the inversion's message; any other failure of the inversion (an
// exactly singular covariance) is an internal fault, "Failed to invert
// covariance matrix: " and the inversion's message in double quotes.
Result<Matrix> invert_cov(MatView c, enums::InversionMethod method);

// `nancov(x, listwise)` together with `average_with_n(x, listwise)`, from the
// same passes over x (the column sums that centre the covariance are those
// the means divide). Both parts have exactly the bits of the separate calls.
struct NancovAndMeans {
    Matrix cov;
    MeanAndN means;
    // The pairwise rule made `cov` (x has missing values, the rule is not
    // listwise): see check_pairwise_definite.
    bool pairwise = false;
};
NancovAndMeans nancov_with_means(MatView x, bool listwise);

// Refuses a covariance that the pairwise rule made when it is clearly
// indefinite: the smallest eigenvalue of its correlations below -(K x
// DBL_EPSILON x the largest), beyond what rounding leaves of a positive
// semi-definite matrix. Its entries come from different observations, so
// nothing makes it semi-definite, and under an indefinite one squared
// Mahalanobis distances can be negative: no relevance means anything. A
// singular, semi-definite covariance passes, for the inversion to judge.
// `cov` must be finite.
Result<void> check_pairwise_definite(MatView cov);

// Inverse of `cov(x)` by `method`, as invert_cov.
Result<Matrix> cov_inv_with_method(MatView x, enums::InversionMethod method);

// Column means with the sample size: listwise, the means over the complete
// rows and their number; otherwise each column's mean over its present values
// (NaN for a column without any) and N.
MeanAndN average_with_n(MatView x, bool listwise);

// Means over the complete rows (all NaN when there are none) and their number.
MeanAndN listwise_mean_and_n(MatView x);

// Covariance, means and number of the complete rows, all over the complete rows.
CovAndMean listwise_cov_and_mean(MatView x);

}  // namespace toolbox::matrix::covariance

// Inversion of a square matrix (in practice always a K x K covariance) by LU,
// Cholesky or the Moore-Penrose pseudoinverse.
//
// Each path works on its own copy of the input, and a failure of the chosen
// method is the result: no path falls back to another. LU and Cholesky also
// fail, after a successful factorisation, on a matrix whose reciprocal
// condition number (of the matrix scaled to a unit diagonal, in the 1-norm)
// is below machine epsilon: its inverse would have no correct digit.
#pragma once

#include "toolbox/enums/enums.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::inversion {

// The inverse of `a` by `method`: Gaussian is inv_lu, Cholesky reads only the
// entries on and above the diagonal and returns a symmetric matrix, and every
// other code (2 and any larger byte) takes the pseudoinverse.
Result<Matrix> inv_with_method(MatView a, enums::InversionMethod method);

// Inverse of `a` by LU factorisation with partial pivoting.
Result<Matrix> inv_lu(MatView a);

// Inverse of the symmetric matrix whose upper triangle (row-major) `a` holds.
Result<Matrix> inv_cholesky(MatView a);

// True for the failure of a matrix that factorised but is numerically
// singular (as opposed to one whose factorisation failed).
bool is_numerically_singular(const ComputeError& error);

// The smallest and the largest eigenvalue of the symmetric matrix `a` (the
// entries on and above its diagonal read), scaled to a unit diagonal as the
// condition estimates scale it: of a covariance, those of its correlations,
// whatever the units of its attributes. A non-finite entry is refused, as
// by the pseudoinverse.
struct EigenvalueRange {
    double smallest = 0.0;
    double largest = 0.0;
};
Result<EigenvalueRange> scaled_eigenvalue_range(MatView a);

// Moore-Penrose pseudoinverse of `a`; singular values at or below
// n * 2^-52 * max(s) are dropped. An infinite or NaN entry is refused.
Result<Matrix> pinv(MatView a);

}  // namespace toolbox::matrix::inversion

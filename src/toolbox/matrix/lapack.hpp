// The one place that speaks to LAPACK and CBLAS (OpenBLAS).
//
// Callers pass sizes as std::size_t and get LAPACK's `info` back as a plain
// integer; the conversion to the libraries' 32-bit integers, the by-address
// Fortran convention and the hidden length arguments of character flags stay
// in lapack.cpp. A size that does not fit a 32-bit integer is an internal
// fault (no matrix of this engine comes near it).
//
// LAPACK reads every matrix column-major; the BLAS calls below take row-major
// operands, the layout of every matrix of the engine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace toolbox::matrix::lapack {

using lapack_int = std::int32_t;

// Whether a BLAS operand enters as it is or transposed.
enum class Trans : std::uint8_t { No, Yes };

// Which triangle (of LAPACK's column-major reading) a symmetric routine uses.
enum class Uplo : std::uint8_t { Upper, Lower };

// Which singular vectors dgesvd computes: all of them, or none.
enum class SvdJob : std::uint8_t { All, None };

// Converts a size to LAPACK's integer; stops the computation when it does not fit.
lapack_int to_lapack_int(std::size_t n);

// ---- LAPACK (column-major, in place; each returns LAPACK's info) ----

// LU factorisation with partial pivoting of the m x n matrix `a`.
// `ipiv` holds min(m, n) pivot indices on return.
lapack_int dgetrf(std::size_t m, std::size_t n, double* a, std::size_t lda, lapack_int* ipiv);

// Inverse from dgetrf's factors. lwork = -1 is the workspace query: the
// optimal size comes back in work[0].
lapack_int dgetri(std::size_t n, double* a, std::size_t lda, const lapack_int* ipiv, double* work, lapack_int lwork);

// Cholesky factorisation of the symmetric positive definite n x n matrix `a`.
lapack_int dpotrf(Uplo uplo, std::size_t n, double* a, std::size_t lda);

// Inverse from dpotrf's factor, left in the same triangle.
lapack_int dpotri(Uplo uplo, std::size_t n, double* a, std::size_t lda);

// Estimate of the reciprocal condition number, in the 1-norm, of the matrix
// whose LU factors dgetrf left in `a`; `anorm` is that matrix's 1-norm, taken
// before factorising. The estimate comes back in `rcond`.
lapack_int dgecon(std::size_t n, const double* a, std::size_t lda, double anorm, double* rcond);

// The same for the symmetric positive definite matrix whose Cholesky factor
// dpotrf left in the `uplo` triangle of `a`.
lapack_int dpocon(Uplo uplo, std::size_t n, const double* a, std::size_t lda, double anorm, double* rcond);

// The eigenvalues alone, ascending in `w`, of the symmetric n x n band
// matrix with kd diagonals below the main one, in LAPACK's lower band
// storage (`ab`, ldab >= kd + 1: entry (i, j), i >= j, at ab[i - j + j ldab]);
// `ab` is destroyed. The workspace is taken here.
lapack_int dsbev_values(std::size_t n, std::size_t kd, double* ab, std::size_t ldab, double* w);

// Singular value decomposition A = U diag(s) V^T of the m x n matrix `a`
// (destroyed). lwork = -1 is the workspace query (size in work[0]).
lapack_int dgesvd(SvdJob jobu, SvdJob jobvt, std::size_t m, std::size_t n, double* a, std::size_t lda, double* s,
                  double* u, std::size_t ldu, double* vt, std::size_t ldvt, double* work, lapack_int lwork);

// ---- CBLAS (row-major operands) ----
//
// No computation of the engine calls these: the last bits of a BLAS product
// depend on OpenBLAS's kernel and thread count, and the engine's sums keep a
// fixed order instead. They serve the benchmarks (a reference product to
// compare kernels with) and the tests of this wrapper.

// C = alpha * op(A) * op(B) + beta * C, with op(A) m x k, op(B) k x n, C m x n.
void dgemm(Trans trans_a, Trans trans_b, std::size_t m, std::size_t n, std::size_t k, double alpha, const double* a,
           std::size_t lda, const double* b, std::size_t ldb, double beta, double* c, std::size_t ldc);

// y = alpha * op(A) * x + beta * y, with A m x n (row-major) and strided x, y.
void dgemv(Trans trans, std::size_t m, std::size_t n, double alpha, const double* a, std::size_t lda, const double* x,
           std::ptrdiff_t incx, double beta, double* y, std::ptrdiff_t incy);

// Dot product of two strided vectors of n values.
double ddot(std::size_t n, const double* x, std::ptrdiff_t incx, const double* y, std::ptrdiff_t incy);

// Number of threads OpenBLAS may use inside one call (benchmarks pin it to 1).
void set_blas_threads(int threads);
int blas_threads();

}  // namespace toolbox::matrix::lapack

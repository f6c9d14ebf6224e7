#include "toolbox/matrix/inversion.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "toolbox/count.hpp"
#include "toolbox/matrix/lapack.hpp"

namespace toolbox::matrix::inversion {

namespace {

using lapack::lapack_int;

constexpr const char* kNotSquare = "Matrix must be square for inversion.";
constexpr std::string_view kNumericallySingular = "Matrix is numerically singular";

// A contiguous copy of `a` in its own row-major order. LAPACK reads it
// column-major, i.e. as the transpose of `a`; each path accounts for that.
Vector row_major_copy(MatView a) {
    Vector buf = Vector::uninit(a.rows() * a.cols());
    for (std::size_t i = 0; i < a.rows(); ++i) std::copy_n(a.row(i).data(), a.cols(), buf.data() + i * a.cols());
    return buf;
}

// The size a LAPACK workspace query reported. It comes back as a double; a
// value that is not a valid size means the library misbehaved.
lapack_int workspace_size(double reported) {
    const std::uint64_t size = to_count(reported, "Failed to convert workspace size");
    require(size <= static_cast<std::uint64_t>(std::numeric_limits<lapack_int>::max()),
            "Failed to convert workspace size");
    return static_cast<lapack_int>(size);
}

// A workspace of `size` zeros; never empty, so LAPACK always gets a valid address.
Vector workspace(lapack_int size) { return Vector(size > 0 ? static_cast<std::size_t>(size) : 1); }

Matrix as_matrix(Vector&& buf, std::size_t n) { return Matrix::from_vector(std::move(buf), n, n); }

// A factorisation can succeed on a matrix so close to singular that its
// inverse has no correct digit; the reciprocal condition number says so.
//
// It is taken of the matrix scaled to a unit diagonal, s_i = 1 / sqrt(m_ii):
// what decides the accuracy of the inverse of a covariance is the condition
// of its correlations, not the units of its attributes (variances of 1e10
// and 1e-10 side by side invert exactly, though the plain 1-norm condition
// number is 1e20). Without a positive finite diagonal there is no such
// scaling, and the matrix is taken as it is.
Vector unit_diagonal_scaling(const double* m, std::size_t n) {
    Vector s(n, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double d = m[i + i * n];
        if (!(d > 0.0 && d <= std::numeric_limits<double>::max())) return Vector(n, 1.0);
        s[i] = 1.0 / std::sqrt(d);
    }
    return s;
}

// 1-norm of S M S for the column-major n x n matrix `m`, read whole, or (with
// `lower_only`) as the symmetric matrix of its lower triangle; NaN when an
// entry is NaN or infinite.
double scaled_norm1(const double* m, std::size_t n, const Vector& s, bool lower_only) {
    double norm = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        double column = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = lower_only && i < j ? m[j + i * n] : m[i + j * n];
            column += std::fabs(s[i] * v * s[j]);
        }
        if (!std::isfinite(column)) return std::numeric_limits<double>::quiet_NaN();
        if (column > norm) norm = column;
    }
    return norm;
}

std::string numerically_singular(double rcond) {
    char number[32];
    std::snprintf(number, sizeof number, "%.2g", rcond);
    return std::string(kNumericallySingular) + " (reciprocal condition number " + number +
           ", below machine epsilon): an attribute is likely a linear combination of others, or without spread; "
           "drop it, or use the pseudoinverse.";
}

// Refuses an estimate below machine epsilon. A matrix with a NaN or infinite
// entry has no condition number to speak of: its inverse stays LAPACK's
// outcome, in which the non-finite values flow on.
Result<void> check_condition(lapack_int info, double rcond) {
    if (info == 0 && rcond < std::numeric_limits<double>::epsilon()) return compute_error(numerically_singular(rcond));
    return {};
}

// The estimate for the matrix whose LU factors dgetrf left in `lu`: the
// factors of S M S are those of M with the same pivots, L scaled to
// D L D^-1 and U to D U S, where D holds the scale of each pivot row.
Result<void> check_lu_condition(const Vector& lu, std::size_t n, const Array1<lapack_int>& pivots, const Vector& s,
                                double anorm) {
    Array1<std::size_t> row(n);
    for (std::size_t i = 0; i < n; ++i) row[i] = i;
    for (std::size_t i = 0; i < n; ++i) std::swap(row[i], row[static_cast<std::size_t>(pivots[i] - 1)]);
    Vector scaled = Vector::uninit(n * n);
    for (std::size_t j = 0; j < n; ++j) {
        const double dj = s[row[j]];
        for (std::size_t i = 0; i < n; ++i) {
            const double di = s[row[i]];
            const double v = lu[i + j * n];
            scaled[i + j * n] = i > j ? v * di / dj : di * v * s[j];
        }
    }
    double rcond = 0.0;
    const lapack_int info = lapack::dgecon(n, scaled.data(), n, anorm, &rcond);
    return check_condition(info, rcond);
}

// The same from the Cholesky factor L of M (lower triangle of `l`): S L is
// the factor of S M S.
Result<void> check_cholesky_condition(const Vector& l, std::size_t n, const Vector& s, double anorm) {
    Vector scaled(n * n);
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t i = j; i < n; ++i) scaled[i + j * n] = s[i] * l[i + j * n];
    double rcond = 0.0;
    const lapack_int info = lapack::dpocon(lapack::Uplo::Lower, n, scaled.data(), n, anorm, &rcond);
    return check_condition(info, rcond);
}

}  // namespace

bool is_numerically_singular(const ComputeError& error) {
    return std::string_view(error.message).starts_with(kNumericallySingular);
}

Result<Matrix> inv_with_method(MatView a, enums::InversionMethod method) {
    switch (static_cast<std::uint8_t>(method)) {
        case static_cast<std::uint8_t>(enums::InversionMethod::Gaussian):
            return inv_lu(a);
        case static_cast<std::uint8_t>(enums::InversionMethod::Cholesky):
            return inv_cholesky(a);
        default:
            return pinv(a);
    }
}

Result<Matrix> inv_lu(MatView a) {
    if (a.rows() != a.cols()) return compute_error(kNotSquare);
    const std::size_t n = a.rows();
    // LAPACK rejects the leading dimension of an empty matrix (it must be at
    // least 1) and says so on the host's standard error; give its outcome
    // without the noise.
    if (n == 0) return compute_error("LU decomposition failed.");
    // LAPACK factors the transpose of `a`; inv(a^T) read back row-major is inv(a).
    Vector buf = row_major_copy(a);
    Array1<lapack_int> pivots(n);
    const Vector scale = unit_diagonal_scaling(buf.data(), n);
    const double anorm = scaled_norm1(buf.data(), n, scale, false);

    if (lapack::dgetrf(n, n, buf.data(), n, pivots.data()) != 0) return compute_error("LU decomposition failed.");
    if (!std::isnan(anorm)) {
        if (auto conditioned = check_lu_condition(buf, n, pivots, scale, anorm); !conditioned)
            return std::unexpected(std::move(conditioned.error()));
    }

    Vector query(1, 0.0);
    if (lapack::dgetri(n, buf.data(), n, pivots.data(), query.data(), -1) != 0)
        return compute_error("Workspace query failed.");
    const lapack_int lwork = workspace_size(query[0]);
    Vector work = workspace(lwork);
    if (lapack::dgetri(n, buf.data(), n, pivots.data(), work.data(), lwork) != 0)
        return compute_error("Matrix inversion failed.");

    return as_matrix(std::move(buf), n);
}

Result<Matrix> inv_cholesky(MatView a) {
    if (a.rows() != a.cols()) return compute_error(kNotSquare);
    const std::size_t n = a.rows();
    // As in inv_lu: LAPACK's rejection of the empty matrix, without its message.
    if (n == 0) return compute_error("Cholesky decomposition failed.");
    // LAPACK's lower triangle of the column-major reading is the upper
    // triangle of `a`: only entries on and above the diagonal are read.
    Vector buf = row_major_copy(a);
    const Vector scale = unit_diagonal_scaling(buf.data(), n);
    const double anorm = scaled_norm1(buf.data(), n, scale, true);
    if (lapack::dpotrf(lapack::Uplo::Lower, n, buf.data(), n) != 0)
        return compute_error("Cholesky decomposition failed.");
    if (!std::isnan(anorm)) {
        if (auto conditioned = check_cholesky_condition(buf, n, scale, anorm); !conditioned)
            return std::unexpected(std::move(conditioned.error()));
    }
    if (lapack::dpotri(lapack::Uplo::Lower, n, buf.data(), n) != 0) return compute_error("Cholesky inversion failed.");

    // The inverse stands on and above the diagonal; below it the input is left.
    Matrix r = as_matrix(std::move(buf), n);
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t l = 0; l < k; ++l) r(k, l) = r(l, k);
    return r;
}

Result<EigenvalueRange> scaled_eigenvalue_range(MatView a) {
    if (a.rows() != a.cols()) return compute_error(kNotSquare);
    const std::size_t n = a.rows();
    if (n == 0) return EigenvalueRange{};
    const Vector buf = row_major_copy(a);
    for (double v : buf) {
        if (!std::isfinite(v)) return compute_error("Eigenvalue input is not finite.");
    }
    const Vector s = unit_diagonal_scaling(buf.data(), n);
    // The whole matrix as a band as wide as itself: the band reduction makes
    // it tridiagonal by plane rotations alone, where dsyev's reduction calls
    // OpenBLAS's dsymv, which splits even a product of a few rows over its
    // threads, so that the eigenvalues' last bits would follow the thread
    // count. Band entry (i, j), i >= j, is buf[i + j n] = a(j, i): the upper
    // triangle of `a`.
    Vector band(n * n);
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t i = j; i < n; ++i) band[i - j + j * n] = s[i] * buf[i + j * n] * s[j];
    Vector w(n);
    if (lapack::dsbev_values(n, n - 1, band.data(), n, w.data()) != 0)
        return compute_error("Eigenvalue computation failed.");
    return EigenvalueRange{w[0], w[n - 1]};
}

Result<Matrix> pinv(MatView a) {
    if (a.rows() != a.cols()) return compute_error(kNotSquare);
    const std::size_t n = a.rows();
    if (n == 0) return Matrix(0, 0);
    // LAPACK's SVD can iterate for ever on an infinite or NaN entry (seen with
    // 3 x 3 matrices), blocking the caller's thread; nothing meaningful could
    // come out of such input anyway.
    for (std::size_t i = 0; i < n; ++i) {
        for (double v : a.row(i)) {
            if (!std::isfinite(v)) return compute_error("SVD input is not finite.");
        }
    }

    Vector s(n);
    Vector u(n * n);
    Vector vt(n * n);

    Vector query(1, 0.0);
    {
        Vector copy = row_major_copy(a);
        if (lapack::dgesvd(lapack::SvdJob::All, lapack::SvdJob::All, n, n, copy.data(), n, s.data(), u.data(), n,
                           vt.data(), n, query.data(), -1) != 0)
            return compute_error("SVD workspace query failed.");
    }
    const lapack_int lwork = workspace_size(query[0]);
    Vector work = workspace(lwork);
    {
        Vector copy = row_major_copy(a);
        if (lapack::dgesvd(lapack::SvdJob::All, lapack::SvdJob::All, n, n, copy.data(), n, s.data(), u.data(), n,
                           vt.data(), n, work.data(), lwork) != 0)
            return compute_error("SVD failed.");
    }

    // A NaN never becomes the maximum, so smax stays 0.0 when no s_k is a number.
    double smax = 0.0;
    for (std::size_t k = 0; k < n; ++k)
        if (s[k] > smax) smax = s[k];
    const double tol = (static_cast<double>(n) * 2.220446049250313e-16) * smax;

    // LAPACK decomposed a^T = Ub diag(s) Vb^T (column-major buffers `u`, `vt`),
    // so a = V diag(s) U^T reads V = Ub and U = Vb:
    //   v_ik = Ub(i, k) = u[i + k n],   u_jk = Vb(j, k) = Vb^T(k, j) = vt[k + j n].
    // pinv(a) = V diag(1/s) U^T, summed over the kept k in ascending order.
    Matrix r(n, n);
    Vector u_col = Vector::uninit(n);
    for (std::size_t k = 0; k < n; ++k) {
        if (!(s[k] > tol)) continue;
        const double f = 1.0 / s[k];
        for (std::size_t j = 0; j < n; ++j) u_col[j] = vt[k + j * n];
        for (std::size_t i = 0; i < n; ++i) {
            const double vf = u[i + k * n] * f;
            double* row = r.row(i).data();
            for (std::size_t j = 0; j < n; ++j) row[j] += vf * u_col[j];
        }
    }
    return r;
}

}  // namespace toolbox::matrix::inversion

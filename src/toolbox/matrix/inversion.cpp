#include "toolbox/matrix/inversion.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "toolbox/matrix/lapack.hpp"

namespace toolbox::matrix::inversion {

namespace {

using lapack::lapack_int;

constexpr const char* kNotSquare = "Matrix must be square for inversion.";

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
    constexpr double kTwoTo64 = 18446744073709551616.0;
    require(reported > -1.0 && reported < kTwoTo64, "Failed to convert workspace size");
    const auto size = static_cast<std::uint64_t>(reported);
    require(size <= static_cast<std::uint64_t>(std::numeric_limits<lapack_int>::max()),
            "Failed to convert workspace size");
    return static_cast<lapack_int>(size);
}

// A workspace of `size` zeros; never empty, so LAPACK always gets a valid address.
Vector workspace(lapack_int size) { return Vector(size > 0 ? static_cast<std::size_t>(size) : 1); }

Matrix as_matrix(Vector&& buf, std::size_t n) { return Matrix::from_vector(std::move(buf), n, n); }

}  // namespace

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

    if (lapack::dgetrf(n, n, buf.data(), n, pivots.data()) != 0) return compute_error("LU decomposition failed.");

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
    if (lapack::dpotrf(lapack::Uplo::Lower, n, buf.data(), n) != 0)
        return compute_error("Cholesky decomposition failed.");
    if (lapack::dpotri(lapack::Uplo::Lower, n, buf.data(), n) != 0) return compute_error("Cholesky inversion failed.");

    // The inverse stands on and above the diagonal; below it the input is left.
    Matrix r = as_matrix(std::move(buf), n);
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t l = 0; l < k; ++l) r(k, l) = r(l, k);
    return r;
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

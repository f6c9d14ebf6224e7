#include "toolbox/matrix/lapack.hpp"

#include <cblas.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "toolbox/error.hpp"

// LAPACK's Fortran entry points (OpenBLAS exports them; it ships no C header
// for them). Every argument goes by address; each character flag carries a
// hidden length argument at the end of the list, which gfortran-built
// routines may rely on, so it is always passed.
extern "C" {
void dgetrf_(const std::int32_t* m, const std::int32_t* n, double* a, const std::int32_t* lda, std::int32_t* ipiv,
             std::int32_t* info);
void dgetri_(const std::int32_t* n, double* a, const std::int32_t* lda, const std::int32_t* ipiv, double* work,
             const std::int32_t* lwork, std::int32_t* info);
void dpotrf_(const char* uplo, const std::int32_t* n, double* a, const std::int32_t* lda, std::int32_t* info,
             std::size_t uplo_len);
void dpotri_(const char* uplo, const std::int32_t* n, double* a, const std::int32_t* lda, std::int32_t* info,
             std::size_t uplo_len);
void dgecon_(const char* norm, const std::int32_t* n, const double* a, const std::int32_t* lda, const double* anorm,
             double* rcond, double* work, std::int32_t* iwork, std::int32_t* info, std::size_t norm_len);
void dpocon_(const char* uplo, const std::int32_t* n, const double* a, const std::int32_t* lda, const double* anorm,
             double* rcond, double* work, std::int32_t* iwork, std::int32_t* info, std::size_t uplo_len);
void dsbev_(const char* jobz, const char* uplo, const std::int32_t* n, const std::int32_t* kd, double* ab,
            const std::int32_t* ldab, double* w, double* z, const std::int32_t* ldz, double* work, std::int32_t* info,
            std::size_t jobz_len, std::size_t uplo_len);
void dgesvd_(const char* jobu, const char* jobvt, const std::int32_t* m, const std::int32_t* n, double* a,
             const std::int32_t* lda, double* s, double* u, const std::int32_t* ldu, double* vt,
             const std::int32_t* ldvt, double* work, const std::int32_t* lwork, std::int32_t* info,
             std::size_t jobu_len, std::size_t jobvt_len);
// Stops OpenBLAS's worker threads; its next threaded call starts them again.
// OpenBLAS runs it itself before every fork.
int blas_thread_shutdown_();
}

namespace toolbox::matrix::lapack {

static_assert(sizeof(blasint) == sizeof(lapack_int), "OpenBLAS must use 32-bit integers");

lapack_int to_lapack_int(std::size_t n) {
    require(n <= static_cast<std::size_t>(std::numeric_limits<lapack_int>::max()),
            "matrix dimension exceeds the LAPACK integer range");
    return static_cast<lapack_int>(n);
}

namespace {

lapack_int to_increment(std::ptrdiff_t inc) {
    require(inc >= std::numeric_limits<lapack_int>::min() && inc <= std::numeric_limits<lapack_int>::max(),
            "vector stride exceeds the BLAS integer range");
    return static_cast<lapack_int>(inc);
}

char uplo_char(Uplo uplo) { return uplo == Uplo::Upper ? 'U' : 'L'; }
char job_char(SvdJob job) { return job == SvdJob::All ? 'A' : 'N'; }
CBLAS_TRANSPOSE cblas_trans(Trans t) { return t == Trans::Yes ? CblasTrans : CblasNoTrans; }

// OpenBLAS rejects a leading dimension below 1 (with a message on stderr) even
// when nothing is to be computed; empty products are settled here instead, with
// BLAS's own meaning: an empty sum is zero, and beta = 0 overwrites the output.
void scale(double* y, std::size_t len, std::ptrdiff_t inc, double beta) {
    for (std::size_t i = 0; i < len; ++i) {
        // Whatever the sign of the stride, the elements sit |inc| apart from y on.
        double& v = y[static_cast<std::ptrdiff_t>(i) * (inc < 0 ? -inc : inc)];
        v = beta == 0.0 ? 0.0 : beta * v;
    }
}

}  // namespace

lapack_int dgetrf(std::size_t m, std::size_t n, double* a, std::size_t lda, lapack_int* ipiv) {
    const lapack_int m_ = to_lapack_int(m), n_ = to_lapack_int(n), lda_ = to_lapack_int(lda);
    lapack_int info = 0;
    dgetrf_(&m_, &n_, a, &lda_, ipiv, &info);
    return info;
}

lapack_int dgetri(std::size_t n, double* a, std::size_t lda, const lapack_int* ipiv, double* work, lapack_int lwork) {
    const lapack_int n_ = to_lapack_int(n), lda_ = to_lapack_int(lda);
    lapack_int info = 0;
    dgetri_(&n_, a, &lda_, ipiv, work, &lwork, &info);
    return info;
}

lapack_int dpotrf(Uplo uplo, std::size_t n, double* a, std::size_t lda) {
    const char u = uplo_char(uplo);
    const lapack_int n_ = to_lapack_int(n), lda_ = to_lapack_int(lda);
    lapack_int info = 0;
    dpotrf_(&u, &n_, a, &lda_, &info, 1);
    return info;
}

lapack_int dpotri(Uplo uplo, std::size_t n, double* a, std::size_t lda) {
    const char u = uplo_char(uplo);
    const lapack_int n_ = to_lapack_int(n), lda_ = to_lapack_int(lda);
    lapack_int info = 0;
    dpotri_(&u, &n_, a, &lda_, &info, 1);
    return info;
}

namespace {

// The workspace of the condition estimators: `per_row` doubles and one
// integer for each of the n rows (never empty).
struct ConditionWork {
    std::vector<double> work;
    std::vector<lapack_int> iwork;
    ConditionWork(std::size_t n, std::size_t per_row)
        : work(per_row * std::max<std::size_t>(n, 1)), iwork(std::max<std::size_t>(n, 1)) {}
};

}  // namespace

lapack_int dgecon(std::size_t n, const double* a, std::size_t lda, double anorm, double* rcond) {
    const char norm = '1';
    const lapack_int n_ = to_lapack_int(n), lda_ = to_lapack_int(lda);
    ConditionWork w(n, 4);
    lapack_int info = 0;
    dgecon_(&norm, &n_, a, &lda_, &anorm, rcond, w.work.data(), w.iwork.data(), &info, 1);
    return info;
}

lapack_int dpocon(Uplo uplo, std::size_t n, const double* a, std::size_t lda, double anorm, double* rcond) {
    const char u = uplo_char(uplo);
    const lapack_int n_ = to_lapack_int(n), lda_ = to_lapack_int(lda);
    ConditionWork w(n, 3);
    lapack_int info = 0;
    dpocon_(&u, &n_, a, &lda_, &anorm, rcond, w.work.data(), w.iwork.data(), &info, 1);
    return info;
}

lapack_int dsbev_values(std::size_t n, std::size_t kd, double* ab, std::size_t ldab, double* w) {
    const char jobz = 'N', uplo = 'L';
    const lapack_int n_ = to_lapack_int(n), kd_ = to_lapack_int(kd), ldab_ = to_lapack_int(ldab), ldz = 1;
    std::vector<double> work(std::max<std::size_t>(1, 3 * n));
    double z = 0.0;  // no eigenvectors: never referenced
    lapack_int info = 0;
    dsbev_(&jobz, &uplo, &n_, &kd_, ab, &ldab_, w, &z, &ldz, work.data(), &info, 1, 1);
    return info;
}

lapack_int dgesvd(SvdJob jobu, SvdJob jobvt, std::size_t m, std::size_t n, double* a, std::size_t lda, double* s,
                  double* u, std::size_t ldu, double* vt, std::size_t ldvt, double* work, lapack_int lwork) {
    const char ju = job_char(jobu), jv = job_char(jobvt);
    const lapack_int m_ = to_lapack_int(m), n_ = to_lapack_int(n), lda_ = to_lapack_int(lda);
    const lapack_int ldu_ = to_lapack_int(ldu), ldvt_ = to_lapack_int(ldvt);
    lapack_int info = 0;
    dgesvd_(&ju, &jv, &m_, &n_, a, &lda_, s, u, &ldu_, vt, &ldvt_, work, &lwork, &info, 1, 1);
    return info;
}

void dgemm(Trans trans_a, Trans trans_b, std::size_t m, std::size_t n, std::size_t k, double alpha, const double* a,
           std::size_t lda, const double* b, std::size_t ldb, double beta, double* c, std::size_t ldc) {
    if (m == 0 || n == 0) return;
    if (k == 0) {
        for (std::size_t i = 0; i < m; ++i) scale(c + i * ldc, n, 1, beta);
        return;
    }
    cblas_dgemm(CblasRowMajor, cblas_trans(trans_a), cblas_trans(trans_b), to_lapack_int(m), to_lapack_int(n),
                to_lapack_int(k), alpha, a, to_lapack_int(lda), b, to_lapack_int(ldb), beta, c, to_lapack_int(ldc));
}

void dgemv(Trans trans, std::size_t m, std::size_t n, double alpha, const double* a, std::size_t lda, const double* x,
           std::ptrdiff_t incx, double beta, double* y, std::ptrdiff_t incy) {
    const std::size_t out_len = trans == Trans::Yes ? n : m;
    if (out_len == 0) return;
    if (m == 0 || n == 0) {
        scale(y, out_len, incy, beta);
        return;
    }
    cblas_dgemv(CblasRowMajor, cblas_trans(trans), to_lapack_int(m), to_lapack_int(n), alpha, a, to_lapack_int(lda), x,
                to_increment(incx), beta, y, to_increment(incy));
}

double ddot(std::size_t n, const double* x, std::ptrdiff_t incx, const double* y, std::ptrdiff_t incy) {
    if (n == 0) return 0.0;
    return cblas_ddot(to_lapack_int(n), x, to_increment(incx), y, to_increment(incy));
}

namespace {

// OpenBLAS gives every call in progress a work buffer of its own (Debian's
// x86-64 builds allocate 128 MiB and a page), keeps the buffer for the life of
// the process and hands it to the next call; but when it cannot allocate one,
// it retries for ever, and the calling thread never returns. Taking one buffer
// when the library loads, while memory is there, means that later calls made
// one at a time never allocate: a process that runs out of memory meets the
// library's own allocations first, and those fail cleanly.
//
// OpenBLAS's own worker threads each take a buffer as they start, shortly
// after it loads; a buffer taken before they have all started would go to the
// last of them. So one call that keeps every worker busy comes first.
//
// Those workers then wait for more work by yielding the processor for about a
// tenth of a second, and a call made right after loading would share the
// processors with them. The engine's own inversions are far too small for
// OpenBLAS to thread, so the workers are stopped once they hold their
// buffers; a stopped worker hands its buffer back for the next call, and
// OpenBLAS starts the workers again at its next threaded call. Only a process
// whose threads are the loader and those workers is safe to stop them in:
// any other thread might be inside an OpenBLAS call.
//
// The load itself must never block: under an address-space limit, all this
// happens only when the buffers still to be taken fit twice over in what the
// limit leaves; otherwise the first call takes its buffer later, as it would
// without this step.
constexpr std::size_t kBlasBuffer = (std::size_t{128} << 20) + 4096;

bool room_for(std::size_t bytes) noexcept {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    // The first field of statm: pages mapped now.
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return false;
    unsigned long pages = 0;
    const bool read = std::fscanf(statm, "%lu", &pages) == 1;
    std::fclose(statm);
    const std::size_t mapped = static_cast<std::size_t>(pages) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return read && mapped <= limit.rlim_cur && limit.rlim_cur - mapped >= bytes;
}

// The "Threads:" line of /proc/self/status; 0 when it cannot be read.
long threads_in_process() noexcept {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    long threads = 0;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "Threads: %ld", &threads) == 1) break;
    }
    std::fclose(status);
    return threads;
}

[[gnu::constructor]] void take_blas_buffer_at_load() noexcept {
    const int threads = openblas_get_num_threads();
    if (threads < 1 || !room_for(2 * static_cast<std::size_t>(threads) * kBlasBuffer)) return;
    const bool only_workers = threads > 1 && threads_in_process() == threads;
    if (threads > 1) {
        // Long enough for OpenBLAS to split it over all its threads.
        constexpr std::size_t n = std::size_t{1} << 17;
        double* xy = static_cast<double*>(std::calloc(2 * n, sizeof(double)));
        if (xy == nullptr) return;
        cblas_daxpy(static_cast<blasint>(n), 1.0, xy, 1, xy + n, 1);
        std::free(xy);
    }
    const lapack_int one = 1;
    double a = 1.0;
    lapack_int pivot = 0, info = 0;
    dgetrf_(&one, &one, &a, &one, &pivot, &info);
    if (only_workers) blas_thread_shutdown_();
}

}  // namespace

void set_blas_threads(int threads) { openblas_set_num_threads(threads); }

int blas_threads() { return openblas_get_num_threads(); }

}  // namespace toolbox::matrix::lapack

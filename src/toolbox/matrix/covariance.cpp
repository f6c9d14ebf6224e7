#include "toolbox/matrix/covariance.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "toolbox/error.hpp"
#include "toolbox/matrix/gram.hpp"
#include "toolbox/matrix/inversion.hpp"
#include "toolbox/matrix/rowwise.hpp"

namespace toolbox::matrix::covariance {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Per column, the sum of its present values in row order and their count.
// Summing a row at a time works on all columns at once; each column's sum
// still takes its values top to bottom, skipping NaN.
struct PresentSums {
    Vector sum;
    Array1<std::int64_t> count;
};

PresentSums present_sums(MatView x) {
    PresentSums p{Vector::uninit(x.cols()), Array1<std::int64_t>::uninit(x.cols())};
    rowwise::present_sums(x, p.sum.data(), p.count.data());
    return p;
}

Matrix symmetric_result(const gram::Accumulator& acc, double divisor) {
    const std::size_t k = acc.k();
    Matrix r = Matrix::uninit(k, k);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t l = j; l < k; ++l) r(j, l) = r(l, j) = acc.sum(j, l) / divisor;
    return r;
}

bool all_present(const PresentSums& p, std::size_t n) {
    for (std::int64_t c : p.count)
        if (static_cast<std::size_t>(c) != n) return false;
    return true;
}

// Mean of each column over its present values; NaN where there are none.
Vector present_means(const PresentSums& p) {
    Vector m = Vector::uninit(p.sum.size());
    for (std::size_t j = 0; j < m.size(); ++j)
        m[j] = p.count[j] > 0 ? p.sum[j] / static_cast<double>(p.count[j]) : kNaN;
    return m;
}

// C^T C / divisor of the data centred on `mean`, over all rows.
Matrix centred_cov(MatView x, const double* mean, double divisor) {
    const std::size_t n = x.rows(), k = x.cols();
    gram::Accumulator acc(k);
    Vector padded(acc.width());
    std::copy_n(mean, k, padded.data());
    for (std::size_t i0 = 0; i0 < n; i0 += acc.chunk_rows()) {
        const std::size_t rows = std::min(acc.chunk_rows(), n - i0);
        rowwise::centre(x, i0, rows, padded.data(), acc.chunk_row(0), acc.width());
        acc.flush(rows);
    }
    return symmetric_result(acc, divisor);
}

// Pairwise rule: each column centred on the mean of its present values, the
// missing values then counted as 0.0 in C^T C, and each entry divided by the
// number of rows where both columns are present, minus one.
Matrix pairwise_cov(MatView x, const PresentSums& sums) {
    const std::size_t n = x.rows(), k = x.cols();
    gram::Accumulator acc(k);
    // The means padded with zeros to the chunk width keep the chunk's padding zero.
    Vector mean(acc.width());
    for (std::size_t j = 0; j < k; ++j)
        mean[j] = sums.count[j] > 0 ? sums.sum[j] / static_cast<double>(sums.count[j]) : kNaN;
    // Rows where both columns are missing; with N and the per-column counts
    // they give the pair counts. Only incomplete rows touch it, and only at
    // their missing columns.
    Array2<std::size_t> both_missing(k, k);
    Array1<std::size_t> missing(k);
    Array1<std::uint32_t> flagged(acc.chunk_rows());
    Array1<std::uint64_t> nan_bits(acc.chunk_rows());
    for (std::size_t i0 = 0; i0 < n; i0 += acc.chunk_rows()) {
        const std::size_t rows = std::min(acc.chunk_rows(), n - i0);
        const std::size_t n_flagged = rowwise::centre_zero_filled(x, i0, rows, mean.data(), acc.chunk_row(0),
                                                                  acc.width(), flagged.data(), nan_bits.data());
        for (std::size_t f = 0; f < n_flagged; ++f) {
            std::size_t n_missing = 0;
            if (k <= 64) {
                for (std::uint64_t bits = nan_bits[f]; bits != 0; bits &= bits - 1)
                    missing[n_missing++] = static_cast<std::size_t>(std::countr_zero(bits));
            } else {
                const double* row = x.row(i0 + flagged[f]).data();
                for (std::size_t j = 0; j < k; ++j)
                    if (std::isnan(row[j])) missing[n_missing++] = j;
            }
            for (std::size_t a = 0; a < n_missing; ++a)
                for (std::size_t b = a; b < n_missing; ++b) ++both_missing(missing[a], missing[b]);
        }
        acc.flush(rows);
    }

    Matrix r = Matrix::uninit(k, k);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t l = j; l < k; ++l) {
            // Rows where j or l is missing, by inclusion-exclusion.
            const std::size_t lost = (n - static_cast<std::size_t>(sums.count[j])) +
                                     (n - static_cast<std::size_t>(sums.count[l])) - both_missing(j, l);
            const std::size_t pairs = n - lost;
            r(j, l) = r(l, j) = pairs >= 2 ? acc.sum(j, l) / static_cast<double>(pairs - 1) : kNaN;
        }
    return r;
}

}  // namespace

Matrix cov(MatView x) { return cov_and_mean(x).cov; }

CovAndMean cov_and_mean(MatView x) {
    const std::size_t n = x.rows(), k = x.cols();
    require(n > 0, "Cannot compute mean for empty array");
    Vector mean = Vector::uninit(k);
    rowwise::column_sums(x, mean.data());
    const double dn = static_cast<double>(n);
    for (std::size_t j = 0; j < k; ++j) mean[j] /= dn;
    Matrix c = centred_cov(x, mean.data(), dn - 1.0);
    return {std::move(c), std::move(mean), n};
}

Matrix nancov(MatView x, bool listwise) { return nancov_with_means(x, listwise).cov; }

NancovAndMeans nancov_with_means(MatView x, bool listwise) {
    const std::size_t n = x.rows();
    // One pass serves the NaN scan, the pairwise means and the means of the
    // caller. Without NaN the present-value sums are exactly the plain column
    // sums, and the sums over the complete rows (all of them) as well.
    const PresentSums sums = present_sums(x);
    if (all_present(sums, n)) {
        require(n > 0, "Cannot compute mean for empty array");
        const double dn = static_cast<double>(n);
        Vector mean = Vector::uninit(x.cols());
        for (std::size_t j = 0; j < mean.size(); ++j) mean[j] = sums.sum[j] / dn;
        Matrix c = centred_cov(x, mean.data(), dn - 1.0);
        return {std::move(c), {std::move(mean), n}};
    }
    if (listwise) {
        CovAndMean lw = listwise_cov_and_mean(x);
        return {std::move(lw.cov), {std::move(lw.mean), lw.n}};
    }
    Matrix c = pairwise_cov(x, sums);
    return {std::move(c), {present_means(sums), n}, true};
}

Result<void> check_pairwise_definite(MatView cov) {
    auto range = inversion::scaled_eigenvalue_range(cov);
    if (!range) return std::unexpected(std::move(range.error()));
    const double tolerance =
        static_cast<double>(cov.rows()) * std::numeric_limits<double>::epsilon() * range->largest;
    if (!(range->smallest < -tolerance)) return {};
    char number[32];
    std::snprintf(number, sizeof number, "%.2g", range->smallest);
    return compute_error(std::string("covariance of X is indefinite (smallest eigenvalue ") + number +
                         " of its correlations): missing values make the pairwise covariance indefinite, its entries "
                         "coming from different observations; use the complete-rows missing-moments setting "
                         "(QEL_MISSING_COMPLETE), or fewer missing values");
}

Result<Matrix> invert_cov(MatView c, enums::InversionMethod method) {
    auto inv = inversion::inv_with_method(c, method);
    if (!inv && !inversion::is_numerically_singular(inv.error()))
        return internal_fault("Failed to invert covariance matrix: \"" + inv.error().message + "\"");
    return inv;
}

Result<Matrix> cov_inv_with_method(MatView x, enums::InversionMethod method) { return invert_cov(cov(x), method); }

MeanAndN average_with_n(MatView x, bool listwise) {
    if (listwise) return listwise_mean_and_n(x);
    // Without NaN each column's present values are all N of them, so the
    // per-column rule gives the plain means (and NaN when N = 0).
    return {present_means(present_sums(x)), x.rows()};
}

MeanAndN listwise_mean_and_n(MatView x) {
    const std::size_t k = x.cols();
    Vector sum = Vector::uninit(k);
    const std::size_t n_complete = rowwise::complete_row_sums(x, sum.data());
    if (n_complete == 0) return {Vector(k, kNaN), 0};
    const double dn = static_cast<double>(n_complete);
    for (std::size_t j = 0; j < k; ++j) sum[j] /= dn;
    return {std::move(sum), n_complete};
}

CovAndMean listwise_cov_and_mean(MatView x) {
    const std::size_t k = x.cols();
    MeanAndN mn = listwise_mean_and_n(x);
    if (mn.n == 0) return {Matrix(k, k, kNaN), std::move(mn.mean), 0};

    // Both triangles of the row-by-row sums of d_l * d_j over the complete
    // rows: the accumulator keeps one triangle, the products being symmetric.
    gram::Accumulator acc(k);
    Vector padded(acc.width());
    std::copy_n(mn.mean.data(), k, padded.data());
    for (std::size_t i = 0; i < x.rows();) {
        const std::size_t rows =
            rowwise::centre_complete_rows(x, i, padded.data(), acc.chunk_row(0), acc.width(), acc.chunk_rows());
        acc.flush(rows);
    }
    return {symmetric_result(acc, static_cast<double>(mn.n) - 1.0), std::move(mn.mean), mn.n};
}

}  // namespace toolbox::matrix::covariance

#include "toolbox/matrix/covariance.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/matrix/gram.hpp"
#include "toolbox/matrix/inversion.hpp"
#include "toolbox/matrix/rowwise.hpp"
#include "toolbox/parallel/pool.hpp"

namespace toolbox::matrix::covariance {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// From this many rows on, the products of the covariance run on the pool,
// split across blocks of entries: every entry still takes the rows in order,
// so the split cannot change a bit.
constexpr std::size_t kPoolRowsFrom = parallel::kParallelRowsFrom;
// Every part of the product reads the rows of x for itself, so a part should
// have about as many products to add per row as one core can while it
// streams those rows from memory: this many 512-bit additions. A host's X
// comes in ordinary 4 KiB pages, through which one core streams at about
// half the speed it reads the library's own arrays, so the parts are small.
constexpr std::size_t kCostPerStream = 4;
constexpr std::size_t kLanes = 4;

std::size_t pool_workers(std::size_t n_rows) {
    return n_rows >= kPoolRowsFrom ? std::max<std::size_t>(1, parallel::worker_count()) : 1;
}

// Columns [c0, c0 + count) of x.
MatView columns(MatView x, std::size_t c0, std::size_t count) {
    return {x.rows() == 0 ? x.ptr : x.ptr + c0, x.rows(), count, x.row_stride};
}

// Up to this many columns (five vectors), one core holds every running sum
// and count in its registers and sums the rows in one pass. It then streams
// them faster alone than several cores reading the same lines do together:
// a million rows of 20 columns took 7.5 ms so, against 9.1 ms on five parts.
constexpr std::size_t kOnePartColumns = 20;

// Per column, the sum of its present values in row order and their count.
// Summing a row at a time works on all columns at once; each column's sum
// still takes its values top to bottom, skipping NaN. Many rows of more than
// kOnePartColumns columns are summed on the pool, each part taking a run of
// columns four at a time (a vector's worth) over all the rows; a part reads
// only the cache lines of its own columns. A column is summed by one part,
// so its bits do not depend on the split.
struct PresentSums {
    Vector sum;
    Array1<std::int64_t> count;
};

PresentSums present_sums(MatView x) {
    const std::size_t k = x.cols();
    PresentSums p{Vector::uninit(k), Array1<std::int64_t>::uninit(k)};
    const std::size_t groups = (k + kLanes - 1) / kLanes;
    const std::size_t parts = k <= kOnePartColumns ? 1 : std::min(pool_workers(x.rows()), groups);
    if (parts <= 1) {
        rowwise::present_sums(x, p.sum.data(), p.count.data());
        return p;
    }
    parallel::parallel_for(0, parts, 1, [&](std::size_t part) {
        const std::size_t c0 = groups * part / parts * kLanes;
        const std::size_t c1 = std::min(k, groups * (part + 1) / parts * kLanes);
        rowwise::present_sums(columns(x, c0, c1 - c0), p.sum.data() + c0, p.count.data() + c0);
    });
    return p;
}

// How many parts the products of x's covariance are split into: one for a
// small x, else enough that each part's share of the products takes about as
// long as reading the rows, and no more than the pool has workers.
std::size_t product_parts(MatView x) {
    const std::size_t workers = pool_workers(x.rows());
    if (workers <= 1) return 1;
    const std::vector<gram::Tile> tiles = gram::upper_tiles(gram::padded_width(x.cols()));
    std::size_t cost = 0;
    for (const gram::Tile& t : tiles) cost += gram::tile_cost(t);
    return std::clamp<std::size_t>((cost + kCostPerStream - 1) / kCostPerStream, 1, std::min(workers, tiles.size()));
}

// The sums of c_rj * c_rl (j <= l) over the rows that `fill` centres, chunk
// by chunk, into an accumulator: `fill(acc, rows, i, first_column, part)`
// writes rows from row i of `rows` on (at least their columns from
// first_column on) into acc's chunk, advances i past the rows it has looked
// at and returns how many it wrote. On the pool the blocks of the upper
// triangle are split among the parts, each going through all the rows with
// an accumulator of its own and centring the columns it reads for itself:
// every entry is summed by one part, over the rows in order. (Handing the
// parts centred rows from one buffer instead would have them read lines that
// others have just written, which costs more than centring them again.)
//
// With `in_place_mean` (the mean that `fill` centres on, padded with zeros),
// the parts read the rows of x in place and centre them as they go, but for
// the last few, which `fill` still centres: a part then does not write its
// centred copy of every row only to read it back.
template <class Fill>
Matrix centred_products(MatView x, std::size_t n_parts, Fill fill, const double* in_place_mean = nullptr) {
    const std::size_t n = x.rows(), k = x.cols();
    Matrix sums = Matrix::uninit(k, k);
    if (n_parts <= 1) {
        gram::Accumulator acc(k);
        for (std::size_t i = 0; i < n;) acc.flush(fill(acc, x, i, std::size_t{0}, std::size_t{0}));
        for (std::size_t j = 0; j < k; ++j)
            for (std::size_t l = j; l < k; ++l) sums(j, l) = acc.sum(j, l);
        return sums;
    }
    struct Part {
        std::span<const gram::Tile> tiles;
        std::size_t first_column;
        gram::Accumulator acc;
    };
    const std::vector<gram::Tile> tiles = gram::upper_tiles(gram::padded_width(k));
    const std::vector<std::size_t> ends = gram::split_tiles(tiles, n_parts);
    std::vector<Part> parts;
    parts.reserve(ends.size());
    for (std::size_t p = 0, begin = 0; p < ends.size(); begin = ends[p++]) {
        const std::span<const gram::Tile> own(tiles.data() + begin, ends[p] - begin);
        std::size_t first = k;
        for (const gram::Tile& t : own) first = std::min<std::size_t>(first, t.j0);
        parts.push_back(Part{own, first, gram::Accumulator(k)});
    }
    const std::size_t n_in_place = in_place_mean ? n - gram::in_place_tail(x) : 0;
    parallel::parallel_for(0, parts.size(), 1, [&](std::size_t p) {
        Part& part = parts[p];
        std::size_t i = 0;
        while (i < n_in_place) {
            const std::size_t rows = std::min(part.acc.chunk_rows(), n_in_place - i);
            part.acc.add_in_place(x, i, rows, in_place_mean, part.tiles);
            i += rows;
        }
        while (i < n) part.acc.flush(fill(part.acc, x, i, part.first_column, p), part.tiles);
    });
    for (const Part& part : parts) {
        for (const gram::Tile& t : part.tiles) {
            for (std::size_t j = t.j0; j < std::min<std::size_t>(t.j0 + kLanes, k); ++j)
                for (std::size_t l = std::max<std::size_t>(j, t.l0); l < std::min<std::size_t>(t.l0 + t.cols, k); ++l)
                    sums(j, l) = part.acc.sum(j, l);
        }
    }
    return sums;
}

Matrix symmetric_result(const Matrix& sums, double divisor) {
    const std::size_t k = sums.rows();
    Matrix r = Matrix::uninit(k, k);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t l = j; l < k; ++l) r(j, l) = r(l, j) = sums(j, l) / divisor;
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

// `mean` (k values) padded with zeros to the chunk width of k columns: the
// chunk's padding then stays zero.
Vector padded_mean(const double* mean, std::size_t k) {
    Vector padded(gram::padded_width(k));
    std::copy_n(mean, k, padded.data());
    return padded;
}

// C^T C / divisor of the data centred on `mean`, over all rows.
Matrix centred_cov(MatView x, const double* mean, double divisor) {
    const Vector padded = padded_mean(mean, x.cols());
    const Matrix sums = centred_products(
        x, product_parts(x), [&](gram::Accumulator& acc, MatView rows, std::size_t& i, std::size_t c0, std::size_t) {
            const std::size_t n_rows = std::min(acc.chunk_rows(), rows.rows() - i);
            rowwise::centre(columns(rows, c0, rows.cols() - c0), i, n_rows, padded.data() + c0,
                            acc.chunk_row(0) + c0, acc.width());
            i += n_rows;
            return n_rows;
        },
        padded.data());
    return symmetric_result(sums, divisor);
}

// Pairwise rule: each column centred on the mean of its present values, the
// missing values then counted as 0.0 in C^T C, and each entry divided by the
// number of rows where both columns are present, minus one.
Matrix pairwise_cov(MatView x, const PresentSums& sums) {
    const std::size_t n = x.rows(), k = x.cols();
    // The means padded with zeros to the chunk width keep the chunk's padding zero.
    Vector mean(gram::padded_width(k));
    for (std::size_t j = 0; j < k; ++j)
        mean[j] = sums.count[j] > 0 ? sums.sum[j] / static_cast<double>(sums.count[j]) : kNaN;
    // Rows where both columns are missing; with N and the per-column counts
    // they give the pair counts. Only incomplete rows touch it, and only at
    // their missing columns; the first part of the products counts them.
    Array2<std::size_t> both_missing(k, k);
    Array1<std::size_t> missing(k);
    const std::size_t chunk_rows = gram::chunk_rows_for(k);
    struct Scratch {
        Array1<std::uint32_t> flagged;
        Array1<std::uint64_t> nan_bits;
    };
    const std::size_t n_parts = product_parts(x);
    std::vector<Scratch> scratch(n_parts);
    for (Scratch& sc : scratch) sc = {Array1<std::uint32_t>(chunk_rows), Array1<std::uint64_t>(chunk_rows)};
    const Matrix products = centred_products(
        x, n_parts, [&](gram::Accumulator& acc, MatView rows, std::size_t& i, std::size_t, std::size_t part) {
            Scratch& sc = scratch[part];
            const std::size_t n_rows = std::min(acc.chunk_rows(), rows.rows() - i);
            const std::size_t n_flagged = rowwise::centre_zero_filled(
                rows, i, n_rows, mean.data(), acc.chunk_row(0), acc.width(), sc.flagged.data(), sc.nan_bits.data());
            if (part == 0) {
                for (std::size_t f = 0; f < n_flagged; ++f) {
                    std::size_t n_missing = 0;
                    if (k <= 64) {
                        for (std::uint64_t bits = sc.nan_bits[f]; bits != 0; bits &= bits - 1)
                            missing[n_missing++] = static_cast<std::size_t>(std::countr_zero(bits));
                    } else {
                        const double* row = rows.row(i + sc.flagged[f]).data();
                        for (std::size_t j = 0; j < k; ++j)
                            if (std::isnan(row[j])) missing[n_missing++] = j;
                    }
                    for (std::size_t a = 0; a < n_missing; ++a)
                        for (std::size_t b = a; b < n_missing; ++b) ++both_missing(missing[a], missing[b]);
                }
            }
            i += n_rows;
            return n_rows;
        });

    Matrix r = Matrix::uninit(k, k);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t l = j; l < k; ++l) {
            // Rows where j or l is missing, by inclusion-exclusion.
            const std::size_t lost = (n - static_cast<std::size_t>(sums.count[j])) +
                                     (n - static_cast<std::size_t>(sums.count[l])) - both_missing(j, l);
            const std::size_t pairs = n - lost;
            r(j, l) = r(l, j) = pairs >= 2 ? products(j, l) / static_cast<double>(pairs - 1) : kNaN;
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
    // rows: the products keep one triangle, being symmetric. Every part of
    // the products finds the complete rows for itself.
    const Vector padded = padded_mean(mn.mean.data(), k);
    const Matrix sums = centred_products(
        x, product_parts(x), [&](gram::Accumulator& acc, MatView rows, std::size_t& i, std::size_t, std::size_t) {
            return rowwise::centre_complete_rows(rows, i, padded.data(), acc.chunk_row(0), acc.width(),
                                                 acc.chunk_rows());
        });
    return {symmetric_result(sums, static_cast<double>(mn.n) - 1.0), std::move(mn.mean), mn.n};
}

}  // namespace toolbox::matrix::covariance

#include "toolbox/stats/binomial.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "toolbox/format.hpp"
#include "toolbox/stats/random.hpp"

namespace toolbox::stats::binomial {

using matrix::ByteMatrix;
using random::ChaCha12Stream;

namespace {

// C(n, k) by the multiplicative rule with a gcd step, so that every partial
// product is itself a binomial coefficient. The arithmetic is 32-bit and
// wraps: the sizes of the combination lists, and with them the combinations a
// seed draws, are those of 32-bit counts on every platform.
std::uint32_t binomial32(std::uint32_t n, std::uint32_t k) {
    const std::uint32_t kk = std::min(k, n - k);
    std::uint32_t r = 1;
    for (std::uint32_t d = 1; d <= kk; ++d) {
        const std::uint32_t g = std::gcd(r, d);
        r = (r / g) * ((n - d + 1) / (d / g));
    }
    return r;
}

// C(n, k) in double precision: exact while it stays below 2^53, and only a
// proportion beyond, where it sizes the quotas of a draw.
double binomial_real(std::size_t n, std::size_t k) {
    const std::size_t kk = std::min(k, n - k);
    double r = 1.0;
    for (std::size_t d = 1; d <= kk; ++d) r = r * static_cast<double>(n - d + 1) / static_cast<double>(d);
    return std::round(r);
}

// C(n, s) / C(n, a) for s = first..n (0 below min_size), a the requested size
// with the largest count, from the ratios of neighbouring coefficients, so
// nothing overflows and the far tails fade to 0.
std::vector<double> relative_counts(std::size_t n, std::size_t first, std::size_t min_size) {
    const std::size_t lo = std::max(first, min_size);
    const std::size_t anchor = std::max(lo, n / 2);
    std::vector<double> rel(n + 1, 0.0);
    rel[anchor] = 1.0;
    for (std::size_t s = anchor; s < n; ++s) {
        rel[s + 1] = rel[s] * static_cast<double>(n - s) / static_cast<double>(s + 1);
    }
    for (std::size_t s = anchor; s > lo; --s) {
        rel[s - 1] = rel[s] * static_cast<double>(s) / static_cast<double>(n - s + 1);
    }
    return std::vector<double>(rel.begin() + static_cast<std::ptrdiff_t>(first), rel.end());
}

std::size_t row_size(std::span<const std::uint8_t> row) {
    std::size_t s = 0;
    for (std::uint8_t v : row) s += v != 0;
    return s;
}

}  // namespace

std::vector<std::uint32_t> binomial_tree_coefficients(std::size_t n, std::size_t min_size) {
    std::vector<std::uint32_t> c(n + 1, 0);
    const auto n32 = static_cast<std::uint32_t>(n);
    for (std::size_t k = 0; k <= n; ++k) {
        if (k >= min_size) c[k] = binomial32(n32, static_cast<std::uint32_t>(k));
    }
    return c;
}

Combinations binary_combinations(std::size_t n, std::optional<std::span<const std::size_t>> sizes) {
    std::vector<std::size_t> list;
    if (sizes) {
        list.assign(sizes->begin(), sizes->end());
    } else {
        for (std::size_t s = n; s >= 1; --s) list.push_back(s);
    }
    std::vector<std::vector<std::size_t>> subsets;
    for (std::size_t s : list) {
        if (s > n) continue;
        std::vector<std::size_t> idx(s);
        std::iota(idx.begin(), idx.end(), std::size_t{0});
        for (;;) {
            subsets.push_back(idx);
            // Next subset in lexicographic order: raise the last member that
            // can still move, and reset the ones after it.
            std::size_t i = s;
            while (i > 0 && idx[i - 1] == n - s + (i - 1)) --i;
            if (i == 0) break;
            ++idx[i - 1];
            for (std::size_t j = i; j < s; ++j) idx[j] = idx[j - 1] + 1;
        }
    }
    ByteMatrix m(subsets.size(), n);
    for (std::size_t r = 0; r < subsets.size(); ++r) {
        for (std::size_t c : subsets[r]) m(r, c) = 1;
    }
    return {std::move(m), subsets.size()};
}

ByteMatrix generate_random_indicator(std::size_t rows, std::size_t cols, std::size_t k, std::uint32_t seed) {
    require(k <= cols, "random indicator rows need k <= cols");
    ByteMatrix m(rows, cols);
    if (k == 0) return m;
    ChaCha12Stream stream = ChaCha12Stream::seeded(seed);
    std::vector<std::size_t> idx(cols);
    for (std::size_t r = 0; r < rows; ++r) {
        std::iota(idx.begin(), idx.end(), std::size_t{0});
        for (std::size_t i = 0; i < k; ++i) std::swap(idx[i], idx[stream.index_in(i, cols)]);
        for (std::size_t i = 0; i < k; ++i) m(r, idx[i]) = 1;
    }
    return m;
}

Result<Combinations> generate_attribute_combi(std::size_t n, std::size_t max, std::size_t min_size,
                                              std::uint32_t seed) {
    if (n == 1) return Combinations{ByteMatrix(1, 1, 1), 1};
    if (n == 0) return Combinations{ByteMatrix(0, 0), 0};

    // Sizes min(min_size, 1)..n. The counts are exact in double precision
    // (the 32-bit ones wrap from 33 attributes on), so the choice between all
    // combinations and a draw, and the quotas, stay meaningful for wide data.
    const std::size_t first = min_size >= 1 ? 1 : 0;
    std::vector<double> c;
    double total = 0.0;
    for (std::size_t s = first; s <= n; ++s) {
        const double cs = s < min_size ? 0.0 : binomial_real(n, s);
        c.push_back(cs);
        total += cs;
    }

    if (total <= static_cast<double>(max)) {
        std::vector<std::size_t> sizes;
        for (std::size_t s = min_size; s <= n; ++s) sizes.push_back(s);
        return binary_combinations(n, std::span<const std::size_t>(sizes));
    }

    // From about 1030 attributes on the largest counts overflow double
    // precision and c / total would be NaN; only the proportions matter here,
    // so take every count relative to the largest requested one instead.
    if (!std::isfinite(total)) {
        c = relative_counts(n, first, min_size);
        total = 0.0;
        for (double cs : c) total += cs;
    }

    std::size_t budget = 0;
    if (min_size >= 2) {
        budget = max;
    } else {
        budget = max >= n ? max - n : 0;
    }
    const std::size_t entries = c.size();
    std::vector<std::size_t> quota(entries);
    for (std::size_t e = 0; e < entries; ++e) {
        const double p = c[e] / total;
        quota[e] = static_cast<std::size_t>(std::floor(p * static_cast<double>(budget)));
    }
    quota[entries - 1] = 1;
    if (min_size <= 1) quota[0] = n;
    std::size_t q_total = 0;
    for (std::size_t q : quota) q_total += q;
    // Every single attribute and the row of all of them are always run; a
    // budget that cannot hold them is the caller's to raise.
    if (q_total > max) {
        return compute_error(format("max_iter {} cannot hold the {} combinations that {} attributes need", max,
                                    q_total, n));
    }

    ByteMatrix out(q_total, n);
    std::size_t row = 0;
    for (std::size_t e = 0; e < entries; ++e) {
        if (quota[e] == 0) continue;
        const std::size_t size = first + e;
        if (e == 0 && min_size <= 1) {
            for (std::size_t d = 0; d < n; ++d) out(row + d, d) = 1;
            row += n;
        } else if (e == entries - 1) {
            for (std::size_t j = 0; j < n; ++j) out(row, j) = 1;
            row += 1;
        } else {
            // Entry e is the (e + 1)-th of the size list.
            const auto seed_i = static_cast<std::uint32_t>(seed + static_cast<std::uint32_t>(e));
            const ByteMatrix rnd = generate_random_indicator(quota[e], n, size, seed_i);
            std::copy_n(rnd.data(), rnd.size(), out.data() + row * n);
            row += quota[e];
        }
    }
    return Combinations{std::move(out), q_total};
}

Result<Combinations> sample_attribute_combi(matrix::MatrixView<const std::uint8_t> combinations, std::size_t max_rows,
                                            std::size_t min_size) {
    const std::size_t r_all = combinations.rows();
    const std::size_t k = combinations.cols();
    if (r_all * k == 0) return Combinations{ByteMatrix(0, 0), 0};

    std::vector<std::size_t> kept;
    for (std::size_t r = 0; r < r_all; ++r) {
        // Full-width counts: a row of 256 or more attributes still counts right.
        if (min_size <= 1 || row_size(combinations.row(r)) >= min_size) kept.push_back(r);
    }
    if (kept.empty()) return Combinations{ByteMatrix(0, k), 0};

    std::vector<std::size_t> pick;
    if (max_rows >= kept.size()) {
        pick = kept;
    } else {
        auto entropy = ChaCha12Stream::from_os_entropy();
        if (!entropy) return std::unexpected(std::move(entropy.error()));
        ChaCha12Stream& stream = *entropy;
        std::vector<std::size_t> idx(kept.size());
        std::iota(idx.begin(), idx.end(), std::size_t{0});
        for (std::size_t i = 0; i < max_rows; ++i) std::swap(idx[i], idx[stream.index_in(i, kept.size())]);
        for (std::size_t i = 0; i < max_rows; ++i) pick.push_back(kept[idx[i]]);
    }
    ByteMatrix out(pick.size(), k);
    for (std::size_t r = 0; r < pick.size(); ++r) {
        const auto src = combinations.row(pick[r]);
        std::copy(src.begin(), src.end(), out.row(r).begin());
    }
    return Combinations{std::move(out), pick.size()};
}

}  // namespace toolbox::stats::binomial

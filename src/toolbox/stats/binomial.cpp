#include "toolbox/stats/binomial.hpp"

#include <sys/random.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>

#include "toolbox/format.hpp"

namespace toolbox::stats::binomial {

using matrix::ByteMatrix;

namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};  // "expand 32-byte k"

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b; d ^= a; d = std::rotl(d, 16);
    c += d; b ^= c; b = std::rotl(b, 12);
    a += b; d ^= a; d = std::rotl(d, 8);
    c += d; b ^= c; b = std::rotl(b, 7);
}

void chacha12_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                    std::uint32_t* out) {
    std::uint32_t in[16];
    for (int i = 0; i < 4; ++i) in[i] = kSigma[i];
    for (int i = 0; i < 8; ++i) in[4 + i] = key[static_cast<std::size_t>(i)];
    in[12] = static_cast<std::uint32_t>(counter);
    in[13] = static_cast<std::uint32_t>(counter >> 32);
    in[14] = static_cast<std::uint32_t>(stream);
    in[15] = static_cast<std::uint32_t>(stream >> 32);
    std::uint32_t x[16];
    std::memcpy(x, in, sizeof x);
    for (int r = 0; r < 6; ++r) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

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

ChaCha12Stream ChaCha12Stream::seeded(std::uint64_t seed) {
    ChaCha12Stream s;
    std::uint64_t state = seed;
    for (std::size_t w = 0; w < 8; ++w) {
        state = state * 6364136223846793005ull + 11634580027462260723ull;
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rot = static_cast<int>(state >> 59);
        s.key[w] = std::rotr(xorshifted, rot);
    }
    return s;
}

Result<ChaCha12Stream> ChaCha12Stream::from_os_entropy() {
    unsigned char bytes[32];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t r = getrandom(bytes + got, sizeof bytes - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return internal_fault(format("operating-system entropy unavailable: {}", std::strerror(errno)));
        }
        got += static_cast<std::size_t>(r);
    }
    ChaCha12Stream s;
    for (std::size_t w = 0; w < 8; ++w) {
        s.key[w] = static_cast<std::uint32_t>(bytes[4 * w]) | static_cast<std::uint32_t>(bytes[4 * w + 1]) << 8 |
                   static_cast<std::uint32_t>(bytes[4 * w + 2]) << 16 |
                   static_cast<std::uint32_t>(bytes[4 * w + 3]) << 24;
    }
    return s;
}

std::uint64_t ChaCha12Stream::draw64() {
    // Draws are always 64 bits wide and the buffer holds an even number of
    // words, so a pair never straddles a refill.
    if (pos >= 64) {
        for (std::uint64_t b = 0; b < 4; ++b) chacha12_block(key, counter + b, stream, buffer.data() + 16 * b);
        counter += 4;
        pos = 0;
    }
    const std::uint64_t lo = buffer[pos];
    const std::uint64_t hi = buffer[pos + 1];
    pos += 2;
    return lo | (hi << 32);
}

std::size_t ChaCha12Stream::index_in(std::size_t lo, std::size_t hi) {
    require(lo < hi, "index_in needs lo < hi");
    const std::uint64_t r = static_cast<std::uint64_t>(hi - lo);
    const std::uint64_t zone = (r << std::countl_zero(r)) - 1;
    for (;;) {
        const unsigned __int128 m = static_cast<unsigned __int128>(draw64()) * r;
        if (static_cast<std::uint64_t>(m) <= zone) return lo + static_cast<std::size_t>(m >> 64);
    }
}

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

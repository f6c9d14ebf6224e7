#include "toolbox/matrix/sorting.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace toolbox::matrix::sorting {

Vector sort_array(VecView data) {
    // NaN is dropped before sorting: with it gone, `<` is a strict weak order
    // and the stable sort is well defined.
    std::size_t n = 0;
    for (std::size_t i = 0; i < data.size(); ++i) n += !std::isnan(data[i]);
    Vector out = Vector::uninit(n);
    std::size_t w = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        if (!std::isnan(data[i])) out[w++] = data[i];
    stable_sort_finite_order(out.span());
    return out;
}

namespace {

// An unsigned key in the order of `<`: negative values have every bit
// flipped, others the sign bit set, and both zeros share one key, so a
// stable sort by key is a stable sort by value.
inline std::uint64_t order_key(double v) noexcept {
    if (v == 0.0) return std::uint64_t{1} << 63;
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return (b >> 63) ? ~b : (b | (std::uint64_t{1} << 63));
}

constexpr unsigned kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr unsigned kPasses = (64 + kDigitBits - 1) / kDigitBits;

// Below this the library's merge sort is as fast.
constexpr std::size_t kRadixFrom = 4096;

}  // namespace

void stable_sort_finite_order(std::span<double> values) {
    const std::size_t n = values.size();
    if (n < kRadixFrom) {
        std::stable_sort(values.begin(), values.end(), [](double a, double b) { return a < b; });
        return;
    }
    // Least significant digit first; each pass is a stable counting sort, so
    // the whole is stable. Passes whose digit is the same for every value
    // move nothing and are skipped.
    std::vector<std::size_t> counts(kPasses * kBuckets, 0);
    for (double v : values) {
        const std::uint64_t key = order_key(v);
        for (unsigned p = 0; p < kPasses; ++p) ++counts[p * kBuckets + ((key >> (p * kDigitBits)) & (kBuckets - 1))];
    }
    Vector scratch = Vector::uninit(n);
    double* src = values.data();
    double* dst = scratch.data();
    for (unsigned p = 0; p < kPasses; ++p) {
        std::size_t* c = counts.data() + p * kBuckets;
        const unsigned shift = p * kDigitBits;
        if (c[(order_key(src[0]) >> shift) & (kBuckets - 1)] == n) continue;
        std::size_t offset = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::size_t count = c[b];
            c[b] = offset;
            offset += count;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const double v = src[i];
            dst[c[(order_key(v) >> shift) & (kBuckets - 1)]++] = v;
        }
        std::swap(src, dst);
    }
    if (src != values.data()) std::copy_n(src, n, values.data());
}

}  // namespace toolbox::matrix::sorting

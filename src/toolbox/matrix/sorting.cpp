#include "toolbox/matrix/sorting.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace toolbox::matrix::sorting {

Vector collect_non_nan(VecView data) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < data.size(); ++i) n += !std::isnan(data[i]);
    Vector out = Vector::uninit(n);
    std::size_t w = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        if (!std::isnan(data[i])) out[w++] = data[i];
    return out;
}

Vector sort_array(VecView data) {
    // NaN is dropped before sorting: with it gone, `<` is a strict weak order
    // and the stable sort is well defined.
    Vector out = collect_non_nan(data);
    stable_sort_finite_order(out.span());
    return out;
}

namespace {

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
    Array1<std::size_t> counts(kPasses * kBuckets);
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

void stable_sort_nan_equal(std::span<double> values) {
    // Written out as a merge: a comparator under which NaN equals everything
    // is not a strict weak order, and the library sorts are undefined for it.
    // Taking from the right run only when its head is strictly less keeps the
    // outcome defined and stable.
    const std::size_t n = values.size();
    if (n < 2) return;
    // Without NaN the order is a strict weak one, whose stable sort is unique:
    // the radix sort gives the same sequence, faster.
    if (std::none_of(values.begin(), values.end(), [](double v) { return std::isnan(v); })) {
        stable_sort_finite_order(values);
        return;
    }
    Vector scratch = Vector::uninit(n);
    double* src = values.data();
    double* dst = scratch.data();
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, n);
            const std::size_t hi = std::min(lo + 2 * width, n);
            std::size_t a = lo, b = mid, o = lo;
            while (a < mid && b < hi) dst[o++] = (src[b] < src[a]) ? src[b++] : src[a++];
            while (a < mid) dst[o++] = src[a++];
            while (b < hi) dst[o++] = src[b++];
        }
        std::swap(src, dst);
    }
    if (src != values.data()) std::copy_n(src, n, values.data());
}

}  // namespace toolbox::matrix::sorting

#include "toolbox/matrix/mask.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/format.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/target_clones.hpp"

namespace toolbox::matrix::mask {

namespace apply_mask {

// The vector kernel, compiled for several instruction sets. It lives outside
// the unnamed namespace: clang builds such a function correctly only when it
// has external linkage.
namespace kernels {

typedef double v4d __attribute__((vector_size(32)));
typedef std::int64_t v4l __attribute__((vector_size(32)));
typedef std::int8_t v4b __attribute__((vector_size(4)));

// The comparisons of a value with four thresholds, as four bytes 0 or 1.
template <class Compare>
[[gnu::always_inline]] inline void store_flags(bool* out, v4d v, v4d thr, Compare compare) {
    const v4l hit = compare(v, thr);  // -1 where it holds
    const v4b flags = __builtin_convertvector(hit, v4b) & 1;
    std::memcpy(out, &flags, sizeof flags);
}

template <class Include, class Exclude>
[[gnu::always_inline]] inline void rows_by(std::size_t first, std::size_t last, VecView values, const double* thr,
                                           std::size_t t, bool* in, bool* out, Include include, Exclude exclude) {
    if (t < 4) {
        for (std::size_t i = first; i < last; ++i) {
            const double v = values[i];
            for (std::size_t j = 0; j < t; ++j) {
                in[i * t + j] = include(v, thr[j]);
                out[i * t + j] = exclude(v, thr[j]);
            }
        }
        return;
    }
    // Thresholds four at a time; a last group that would pass the end
    // starts four before it and writes some flags again, with equal values.
    for (std::size_t i = first; i < last; ++i) {
        const double x = values[i];
        const v4d v = {x, x, x, x};
        for (std::size_t j0 = 0; j0 < t; j0 += 4) {
            const std::size_t j = std::min(j0, t - 4);
            v4d th;
            std::memcpy(&th, thr + j, sizeof th);
            store_flags(in + i * t + j, v, th, include);
            store_flags(out + i * t + j, v, th, exclude);
        }
    }
}

// Four flags as four bytes 0 or 1, from a mask of four bits.
constexpr std::array<std::uint32_t, 16> kFlagBytes = [] {
    std::array<std::uint32_t, 16> bytes{};
    for (std::uint32_t bits = 0; bits < 16; ++bits)
        for (std::uint32_t j = 0; j < 4; ++j) bytes[bits] |= ((bits >> j) & 1u) << (8 * j);
    return bytes;
}();

// The include and exclude comparisons of operator `Code` on four lanes, as
// lanes of all ones where they hold. Written out here rather than passed in
// as callables: a vector handed to a function built for another instruction
// set would cross a call with the wrong convention.
template <std::uint8_t Code>
[[gnu::target("avx2"), gnu::always_inline]] inline void compare_avx2(const v4d& v, const v4d& th, v4l& in,
                                                                     v4l& out) {
    if constexpr (Code == 0) {
        in = v > th;
        out = v <= th;
    } else if constexpr (Code == 1) {
        in = v < th;
        out = v >= th;
    } else if constexpr (Code == 2) {
        in = v >= th;
        out = v < th;
    } else {
        in = v <= th;
        out = v > th;
    }
}

// The same rows with the comparisons' signs gathered into four bits at once
// and turned into bytes by a table: moving the four lanes to bytes one at a
// time costs several times the comparisons.
template <std::uint8_t Code>
[[gnu::target("avx2")]] void rows_by_avx2(std::size_t first, std::size_t last, VecView values, const double* thr,
                                          std::size_t t, bool* in, bool* out) {
    for (std::size_t i = first; i < last; ++i) {
        const double x = values[i];
        const v4d v = {x, x, x, x};
        for (std::size_t j0 = 0; j0 < t; j0 += 4) {
            const std::size_t j = std::min(j0, t - 4);
            v4d th;
            std::memcpy(&th, thr + j, sizeof th);
            v4l hit_in, hit_out;
            compare_avx2<Code>(v, th, hit_in, hit_out);
            const std::uint32_t bytes_in =
                kFlagBytes[static_cast<unsigned>(__builtin_ia32_movmskpd256(reinterpret_cast<v4d>(hit_in)))];
            const std::uint32_t bytes_out =
                kFlagBytes[static_cast<unsigned>(__builtin_ia32_movmskpd256(reinterpret_cast<v4d>(hit_out)))];
            std::memcpy(in + i * t + j, &bytes_in, sizeof bytes_in);
            std::memcpy(out + i * t + j, &bytes_out, sizeof bytes_out);
        }
    }
}

void mask_rows_avx2(std::size_t first, std::size_t last, VecView values, const double* thr, std::size_t t,
                    std::uint8_t code, bool* in, bool* out) {
    switch (code) {
        case 0: rows_by_avx2<0>(first, last, values, thr, t, in, out); break;
        case 1: rows_by_avx2<1>(first, last, values, thr, t, in, out); break;
        case 2: rows_by_avx2<2>(first, last, values, thr, t, in, out); break;
        default: rows_by_avx2<3>(first, last, values, thr, t, in, out); break;
    }
}

// Rows [first, last) of both masks under the operator code (0 to 3). Both
// comparisons are written out (not one as the other's negation), so that NaN
// on either side leaves a value out of both masks.
void mask_rows(std::size_t first, std::size_t last, VecView values, const double* thr, std::size_t t,
               std::uint8_t code, bool* in, bool* out) {
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    if (avx2 && t >= 4) {
        mask_rows_avx2(first, last, values, thr, t, code, in, out);
        return;
    }
    switch (code) {
        case 0:
            rows_by(first, last, values, thr, t, in, out, [](auto v, auto u) { return v > u; },
                    [](auto v, auto u) { return v <= u; });
            break;
        case 1:
            rows_by(first, last, values, thr, t, in, out, [](auto v, auto u) { return v < u; },
                    [](auto v, auto u) { return v >= u; });
            break;
        case 2:
            rows_by(first, last, values, thr, t, in, out, [](auto v, auto u) { return v >= u; },
                    [](auto v, auto u) { return v < u; });
            break;
        default:
            rows_by(first, last, values, thr, t, in, out, [](auto v, auto u) { return v <= u; },
                    [](auto v, auto u) { return v > u; });
            break;
    }
}

}  // namespace kernels

std::pair<BoolMatrix, BoolMatrix> generate_include_masks(VecView values, VecView thresholds, std::uint8_t op_code) {
    const std::uint8_t code = op_code == kAbsentOperator ? std::uint8_t{2} : op_code;
    if (code > 3) fault(format("unknown censor operator code {}", static_cast<unsigned>(op_code)));
    const std::size_t n = values.size();
    const std::size_t t = thresholds.size();
    BoolMatrix in = BoolMatrix::uninit(n, t), out = BoolMatrix::uninit(n, t);
    const Vector thr = Vector::from(thresholds);
    // Every row on its own: many rows are spread over the pool.
    parallel::for_row_blocks(n, [&](std::size_t first, std::size_t last) {
        kernels::mask_rows(first, last, values, thr.data(), t, code, in.data(), out.data());
    });
    return {std::move(in), std::move(out)};
}

BoolVector get_array_mask_nonzero(VecView values, double tolerance) {
    BoolVector out = BoolVector::uninit(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = tolerance <= std::abs(values[i]);
    return out;
}

}  // namespace apply_mask

namespace true_count {

Vector true_count_axis(BoolMatView m, Each each) {
    if (each == Each::Column) {
        std::vector<std::size_t> counts(m.cols(), 0);
        for (std::size_t i = 0; i < m.rows(); ++i) {
            const bool* row = m.row(i).data();
            for (std::size_t j = 0; j < m.cols(); ++j) counts[j] += row[j];
        }
        Vector out = Vector::uninit(m.cols());
        for (std::size_t j = 0; j < m.cols(); ++j) out[j] = static_cast<double>(counts[j]);
        return out;
    }
    Vector out = Vector::uninit(m.rows());
    for (std::size_t i = 0; i < m.rows(); ++i) {
        const bool* row = m.row(i).data();
        std::size_t c = 0;
        for (std::size_t j = 0; j < m.cols(); ++j) c += row[j];
        out[i] = static_cast<double>(c);
    }
    return out;
}

}  // namespace true_count

}  // namespace toolbox::matrix::mask

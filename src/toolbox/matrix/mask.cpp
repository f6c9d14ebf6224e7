#include "toolbox/matrix/mask.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/format.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/simd.hpp"

namespace toolbox::matrix::mask {

namespace apply_mask {

namespace kernels {

using simd::f64x4;
using simd::i64x4;
using simd::i8x4;

// The include and exclude comparisons of operator `Op`, on single values or
// on four lanes (lanes of all ones where they hold). Both are written out,
// not one as the other's negation, so that NaN on either side leaves a value
// out of both masks.
template <enums::CensorOperator Op, class V, class Hit>
[[gnu::always_inline]] inline void compare(const V& v, const V& th, Hit& in, Hit& out) {
    using enum enums::CensorOperator;
    if constexpr (Op == GreaterThan) {
        in = v > th;
        out = v <= th;
    } else if constexpr (Op == LessThan) {
        in = v < th;
        out = v >= th;
    } else if constexpr (Op == GreaterThanOrEqual) {
        in = v >= th;
        out = v < th;
    } else {
        static_assert(Op == LessThanOrEqual);
        in = v <= th;
        out = v > th;
    }
}

// Four flags as four bytes 0 or 1, from a mask of four bits.
constexpr std::array<std::uint32_t, 16> kFlagBytes = [] {
    std::array<std::uint32_t, 16> bytes{};
    for (std::uint32_t bits = 0; bits < 16; ++bits)
        for (std::uint32_t j = 0; j < 4; ++j) bytes[bits] |= ((bits >> j) & 1u) << (8 * j);
    return bytes;
}();

// Four lanes of comparisons as four flag bytes: lane by lane, or, with AVX2,
// by gathering the lanes' signs into four bits at once and looking them up
// (moving the lanes to bytes one at a time costs several times the
// comparisons).
struct LaneBytes {
    [[gnu::always_inline]] static std::uint32_t of(const i64x4& hit) {
        const i8x4 flags = __builtin_convertvector(hit, i8x4) & 1;
        std::uint32_t bytes;
        std::memcpy(&bytes, &flags, sizeof bytes);
        return bytes;
    }
};

// Built for AVX2 itself, as its builtin requires, and left to the inliner:
// forced inlining would first meet the baseline helpers that carry it into
// the AVX2 copy, and refuse.
struct SignBytes {
    [[gnu::target("avx2")]] static std::uint32_t of(const i64x4& hit) {
        return kFlagBytes[static_cast<unsigned>(__builtin_ia32_movmskpd256(reinterpret_cast<f64x4>(hit)))];
    }
};

template <enums::CensorOperator Op, class Bytes>
[[gnu::always_inline]] inline void rows_by(std::size_t first, std::size_t last, VecView values, const double* thr,
                                           std::size_t t, bool* in, bool* out) {
    if (t < 4) {
        for (std::size_t i = first; i < last; ++i) {
            const double v = values[i];
            for (std::size_t j = 0; j < t; ++j) compare<Op>(v, thr[j], in[i * t + j], out[i * t + j]);
        }
        return;
    }
    // Thresholds four at a time; a last group that would pass the end
    // starts four before it and writes some flags again, with equal values.
    for (std::size_t i = first; i < last; ++i) {
        const double x = values[i];
        const f64x4 v = {x, x, x, x};
        for (std::size_t j0 = 0; j0 < t; j0 += 4) {
            const std::size_t j = std::min(j0, t - 4);
            const f64x4 th = simd::load<f64x4>(thr + j);
            i64x4 hit_in, hit_out;
            compare<Op>(v, th, hit_in, hit_out);
            const std::uint32_t bytes_in = Bytes::of(hit_in);
            const std::uint32_t bytes_out = Bytes::of(hit_out);
            std::memcpy(in + i * t + j, &bytes_in, sizeof bytes_in);
            std::memcpy(out + i * t + j, &bytes_out, sizeof bytes_out);
        }
    }
}

template <class Bytes>
[[gnu::always_inline]] inline void rows_for_operator(std::size_t first, std::size_t last, VecView values,
                                                     const double* thr, std::size_t t, enums::CensorOperator op,
                                                     bool* in, bool* out) {
    using enum enums::CensorOperator;
    switch (op) {
        case GreaterThan: return rows_by<GreaterThan, Bytes>(first, last, values, thr, t, in, out);
        case LessThan: return rows_by<LessThan, Bytes>(first, last, values, thr, t, in, out);
        case GreaterThanOrEqual: return rows_by<GreaterThanOrEqual, Bytes>(first, last, values, thr, t, in, out);
        case LessThanOrEqual: return rows_by<LessThanOrEqual, Bytes>(first, last, values, thr, t, in, out);
    }
}

// Rows [first, last) of both masks under the operator.
struct MaskRows {
    template <simd::Level L>
    [[gnu::always_inline]] static void run(std::size_t first, std::size_t last, VecView values, const double* thr,
                                           std::size_t t, enums::CensorOperator op, bool* in, bool* out) {
        using Bytes = std::conditional_t<L == simd::Level::Portable, LaneBytes, SignBytes>;
        rows_for_operator<Bytes>(first, last, values, thr, t, op, in, out);
    }
};

}  // namespace kernels

std::pair<BoolMatrix, BoolMatrix> generate_include_masks(VecView values, VecView thresholds,
                                                         std::optional<enums::CensorOperator> op) {
    const enums::CensorOperator censor = op.value_or(enums::CensorOperator::GreaterThanOrEqual);
    if (censor > enums::CensorOperator::LessThanOrEqual) {
        fault(format("unknown censor operator code {}", static_cast<unsigned>(censor)));
    }
    const double* thr = thresholds.span().data();
    const std::size_t n = values.size();
    const std::size_t t = thresholds.size();
    BoolMatrix in = BoolMatrix::uninit(n, t), out = BoolMatrix::uninit(n, t);
    // Every row on its own: many rows are spread over the pool.
    parallel::for_row_blocks(n, [&](std::size_t first, std::size_t last) {
        simd::run<kernels::MaskRows>(first, last, values, thr, t, censor, in.data(), out.data());
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

#include "toolbox/stats/distances.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "toolbox/parallel/pool.hpp"

#include "toolbox/stats/distances_kernels.hpp"

namespace toolbox::stats::distances {

using matrix::MatView;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;

using simd::Level;

namespace {

// Columns of the inverse covariance processed together: enough independent
// sums to hide the latency of the additions.
constexpr std::size_t kColGroup = 4;

struct RowKernelArgs {
    const double* x;
    std::size_t row_stride;
    std::size_t n;
    std::size_t k;
    const double* a;
    const double* b;
    // C copied into k rows of `kp` columns (zero-padded to a multiple of kColGroup).
    const double* c;
    std::size_t kp;
    double* out_a;
    double* out_b;
    // Room for 2 k vectors of the widest kernel, aligned for it.
    double* scratch;
};

// How many blocks ahead the row kernel asks for the rows it will read.
constexpr std::size_t kAheadBlocks = 6;

// Distances of the rows to one or two centres, L rows at a time, one row per
// lane. Each lane performs exactly the scalar sequence
//   d_k = x_k - centre_k;  t_j = ((0 + d_0 C_0j) + d_1 C_1j) + ...;
//   dist = ((0 + t_0 d_0) + t_1 d_1) + ...
// so every vector width gives the per-row results bit for bit.
template <class Vec, bool Pair>
[[gnu::always_inline]] inline void row_kernel(const RowKernelArgs& p) {
    constexpr std::size_t L = sizeof(Vec) / sizeof(double);
    constexpr std::size_t J = kColGroup;
    const std::size_t K = p.k;
    // The differences of the block's rows from a (and b), a vector of lanes
    // per column, the lanes put together in registers from the rows' values.
    Vec* da = reinterpret_cast<Vec*>(p.scratch);
    Vec* db = da + K;

    for (std::size_t i = 0; i < p.n; i += L) {
        const std::size_t m = std::min(L, p.n - i);
        const double* src = p.x + i * p.row_stride;
        // Read across the rows, a column at a time, the block's lines come in
        // an order the processor's prefetcher does not follow: the lines of
        // the block a few pages on are asked for here.
        if (i + L * (kAheadBlocks + 1) <= p.n) {
            const char* ahead = reinterpret_cast<const char*>(src + kAheadBlocks * L * p.row_stride);
            const std::size_t bytes = ((L - 1) * p.row_stride + K) * sizeof(double);
            for (std::size_t b = 0; b < bytes; b += 64) __builtin_prefetch(ahead + b);
        }
        for (std::size_t k = 0; k < K; ++k) {
            Vec xv = {};
            if (m == L) {
#pragma GCC unroll 8
                for (std::size_t l = 0; l < L; ++l) xv[l] = src[l * p.row_stride + k];
            } else {
                // The last rows are padded with zeros; their lanes are dropped.
                for (std::size_t l = 0; l < m; ++l) xv[l] = src[l * p.row_stride + k];
            }
            if constexpr (Pair) db[k] = xv - p.b[k];
            da[k] = xv - p.a[k];
        }

        Vec sa = {};
        Vec sb = {};
        // Columns j .. j+G of C: G sums t_j per centre, then their terms of
        // the distance in column order.
        auto group = [&]<std::size_t G>(std::size_t j) __attribute__((always_inline)) {
            Vec ta[G] = {};
            Vec tb[G] = {};
            const double* cj = p.c + j;
            for (std::size_t k = 0; k < K; ++k) {
                const double* ck = cj + k * p.kp;
                const Vec dak = da[k];
#pragma GCC unroll 8
                for (std::size_t q = 0; q < G; ++q) ta[q] += dak * ck[q];
                if constexpr (Pair) {
                    const Vec dbk = db[k];
#pragma GCC unroll 8
                    for (std::size_t q = 0; q < G; ++q) tb[q] += dbk * ck[q];
                }
            }
            for (std::size_t q = 0; q < G; ++q) {
                sa += ta[q] * da[j + q];
                if constexpr (Pair) sb += tb[q] * db[j + q];
            }
        };
        std::size_t j = 0;
        for (; j + J <= K; j += J) group.template operator()<J>(j);
        // The last columns by a group of their own size: padding columns
        // would cost as much as real ones.
        switch (K - j) {
            case 1: group.template operator()<1>(j); break;
            case 2: group.template operator()<2>(j); break;
            case 3: group.template operator()<3>(j); break;
            default: break;
        }

        double out[L];
        std::memcpy(out, &sa, sizeof sa);
        std::copy_n(out, m, p.out_a + i);
        if constexpr (Pair) {
            std::memcpy(out, &sb, sizeof sb);
            std::copy_n(out, m, p.out_b + i);
        }
    }
}

// The row kernel for each level, one row per lane of its widest vectors.
struct RowDistances {
    static constexpr Level kWidest = Level::Avx512;

    template <Level L>
    [[gnu::always_inline]] static void run(const RowKernelArgs& p, bool pair) {
        using Vec = std::conditional_t<L == Level::Avx512, simd::f64x8,
                                       std::conditional_t<L == Level::Avx2, simd::f64x4, simd::f64x2>>;
        pair ? row_kernel<Vec, true>(p) : row_kernel<Vec, false>(p);
    }
};

// Distances for K >= 2 (one centre when b is null), by the widest kernel the
// processor runs, the rows spread over the pool when there are many.
void row_loop(MatView x, const double* a, const double* b, MatView c, double* out_a, double* out_b,
              BlockDone done = nullptr, void* context = nullptr) {
    const Level level = simd::current_level();
    parallel::for_row_blocks(x.rows(), [&](std::size_t first, std::size_t last) {
        const MatView part(x.data() + first * x.row_stride, last - first, x.cols(), x.row_stride);
        detail::row_distances(level, part, a, b, c, out_a + first, b ? out_b + first : nullptr);
        if (done) done(context, first, last, out_a, out_b);
    });
}

}  // namespace

namespace detail {

void row_distances(Level level, MatView x, const double* a, const double* b, MatView c, double* out_a, double* out_b) {
    const std::size_t K = x.cols();
    require(K >= 2 && c.rows() == K && c.cols() == K, "row kernel called with K < 2 or a mismatched inverse");
    const std::size_t kp = (K + kColGroup - 1) / kColGroup * kColGroup;
    Matrix cpad(K, kp);
    for (std::size_t r = 0; r < K; ++r) std::copy_n(c.row(r).data(), K, cpad.row(r).data());
    // Two sets of K vectors of 8 doubles, 64-byte aligned (the buffer comes
    // from operator new, 16-byte aligned).
    Vector scratch(2 * K * 8 + 8);
    auto* aligned = reinterpret_cast<double*>((reinterpret_cast<std::uintptr_t>(scratch.data()) + 63) & ~std::uintptr_t{63});
    const RowKernelArgs p{x.data(), x.row_stride, x.rows(), K, a, b, cpad.data(), kp, out_a, out_b, aligned};
    simd::run_at<RowDistances>(level, p, b != nullptr);
}

}  // namespace detail

namespace {

bool square_of(MatView c, std::size_t k) { return c.rows() == k && c.cols() == k; }

}  // namespace

Result<Vector> mahalanobis(MatView x, VecView mean, MatView cov_inv) {
    const std::size_t N = x.rows();
    const std::size_t K = x.cols();
    if (mean.size() != K || !square_of(cov_inv, K))
        return compute_error("Dimension mismatch between x columns and mean vector.");
    if (K == 0) return Vector(N);
    Vector out = Vector::uninit(N);
    if (K == 1) {
        const double m = mean[0];
        const double c = cov_inv(0, 0);
        for (std::size_t i = 0; i < N; ++i) {
            const double d = x(i, 0) - m;
            out[i] = (d * d) * c;
        }
    } else {
        const Vector m = Vector::from(mean);
        row_loop(x, m.data(), nullptr, cov_inv, out.data(), nullptr);
    }
    return out;
}

Result<Vector> mahalanobis_row(VecView v, VecView mean, MatView cov_inv) {
    const std::size_t K = v.size();
    if (mean.size() != K || !square_of(cov_inv, K))
        return compute_error("Dimension mismatch between x, mean, and cov_inv.");
    Vector d = Vector::uninit(K);
    for (std::size_t j = 0; j < K; ++j) d[j] = v[j] - mean[j];
    double dist = 0.0;
    for (std::size_t i = 0; i < K; ++i) {
        double t = 0.0;
        for (std::size_t j = 0; j < K; ++j) t += d[j] * cov_inv(j, i);
        dist += t * d[i];
    }
    return Vector{dist};
}

Result<std::pair<Vector, Vector>> mahalanobis_pair(MatView x, VecView a, VecView b, MatView cov_inv) {
    return mahalanobis_pair(x, a, b, cov_inv, nullptr, nullptr);
}

Result<std::pair<Vector, Vector>> mahalanobis_pair(MatView x, VecView a, VecView b, MatView cov_inv, BlockDone done,
                                                   void* context) {
    const std::size_t N = x.rows();
    const std::size_t K = x.cols();
    if (a.size() != K || b.size() != K || !square_of(cov_inv, K))
        return compute_error("Dimension mismatch between x columns and center vectors.");
    if (K == 0) {
        std::pair out{Vector(N), Vector(N)};
        if (done && N > 0) done(context, 0, N, out.first.data(), out.second.data());
        return out;
    }
    Vector to_a = Vector::uninit(N);
    Vector to_b = Vector::uninit(N);
    if (K == 1) {
        const double a0 = a[0], b0 = b[0], c = cov_inv(0, 0);
        for (std::size_t i = 0; i < N; ++i) {
            const double xa = x(i, 0) - a0;
            const double xb = x(i, 0) - b0;
            to_a[i] = (xa * xa) * c;
            to_b[i] = (xb * xb) * c;
        }
        if (done && N > 0) done(context, 0, N, to_a.data(), to_b.data());
    } else {
        const Vector ca = Vector::from(a);
        const Vector cb = Vector::from(b);
        row_loop(x, ca.data(), cb.data(), cov_inv, to_a.data(), to_b.data(), done, context);
    }
    return std::pair{std::move(to_a), std::move(to_b)};
}

}  // namespace toolbox::stats::distances

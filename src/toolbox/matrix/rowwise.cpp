#include "toolbox/matrix/rowwise.hpp"

#include <algorithm>
#include <cstring>

namespace toolbox::matrix::rowwise {

namespace {

typedef double v4d __attribute__((vector_size(32)));
typedef std::int64_t v4l __attribute__((vector_size(32)));

// Columns held in registers by one pass of present_sums.
constexpr std::size_t kMaxVectors = 8;

// Up to four values from p, zero-padded (macros: vectors never cross a call
// compiled for the baseline ABI).
#define QEL_LOAD_PART(dst, p, n)                                      \
    do {                                                              \
        double qel_tmp_[4] = {0.0, 0.0, 0.0, 0.0};                    \
        for (std::size_t qel_t_ = 0; qel_t_ < (n); ++qel_t_) qel_tmp_[qel_t_] = (p)[qel_t_]; \
        std::memcpy(&(dst), qel_tmp_, sizeof(v4d));                   \
    } while (0)
#define QEL_LOAD(dst, p) std::memcpy(&(dst), (p), sizeof(v4d))
#define QEL_STORE(p, src) std::memcpy((p), &(src), sizeof(v4d))

// Columns c0 .. c0+ncols (ncols <= 4*NV) of every row; the running sums and
// counts stay in registers for the whole pass.
template <std::size_t NV>
[[gnu::always_inline]] inline void present_sums_block(MatView x, std::size_t c0, std::size_t ncols, double* sum,
                                                      std::int64_t* count) {
    v4d s[NV];
    v4l c[NV];
    for (std::size_t v = 0; v < NV; ++v) {
        s[v] = v4d{0.0, 0.0, 0.0, 0.0};
        c[v] = v4l{0, 0, 0, 0};
    }
    const std::size_t full = ncols / 4;
    const std::size_t rem = ncols % 4;
    for (std::size_t i = 0; i < x.rows(); ++i) {
        const double* p = x.row(i).data() + c0;
        for (std::size_t v = 0; v < NV; ++v) {
            v4d val;
            if (v < full) {
                QEL_LOAD(val, p + 4 * v);
            } else {
                QEL_LOAD_PART(val, p + 4 * v, rem);
            }
            const v4l present = val == val;  // -1 where the value is a number
            const v4d t = s[v] + val;
            s[v] = present ? t : s[v];
            c[v] -= present;
        }
    }
    for (std::size_t j = 0; j < ncols; ++j) {
        sum[c0 + j] = s[j / 4][j % 4];
        count[c0 + j] = c[j / 4][j % 4];
    }
}

}  // namespace

__attribute__((target_clones("avx2", "default"))) void present_sums(MatView x, double* sum, std::int64_t* count) {
    const std::size_t k = x.cols();
    for (std::size_t c0 = 0; c0 < k; c0 += 4 * kMaxVectors) {
        const std::size_t ncols = std::min(k - c0, 4 * kMaxVectors);
        switch ((ncols + 3) / 4) {
            case 1: present_sums_block<1>(x, c0, ncols, sum, count); break;
            case 2: present_sums_block<2>(x, c0, ncols, sum, count); break;
            case 3: present_sums_block<3>(x, c0, ncols, sum, count); break;
            case 4: present_sums_block<4>(x, c0, ncols, sum, count); break;
            case 5: present_sums_block<5>(x, c0, ncols, sum, count); break;
            case 6: present_sums_block<6>(x, c0, ncols, sum, count); break;
            case 7: present_sums_block<7>(x, c0, ncols, sum, count); break;
            default: present_sums_block<8>(x, c0, ncols, sum, count); break;
        }
    }
}

__attribute__((target_clones("avx2", "default"))) std::size_t centre_zero_filled(
    MatView x, std::size_t i0, std::size_t rows, const double* mean, double* chunk, std::size_t width,
    std::uint32_t* rows_with_nan) {
    const std::size_t k = x.cols();
    const std::size_t full = k / 4 * 4;
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    std::size_t n_flagged = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const double* p = x.row(i0 + r).data();
        double* out = chunk + r * width;
        v4l missing = {0, 0, 0, 0};
        std::size_t j = 0;
        for (; j < full; j += 4) {
            v4d v, m;
            QEL_LOAD(v, p + j);
            QEL_LOAD(m, mean + j);
            const v4d d = v - m;
            missing |= v != v;
            const v4d c = d == d ? d : zero;
            QEL_STORE(out + j, c);
        }
        if (j < k) {
            // The last partial vector: the padding lanes read 0 and centre on
            // the zero padding of the mean, so the chunk's padding stays zero.
            v4d v, m;
            QEL_LOAD_PART(v, p + j, k - j);
            QEL_LOAD(m, mean + j);
            const v4d d = v - m;
            missing |= v != v;
            const v4d c = d == d ? d : zero;
            QEL_STORE(out + j, c);
        }
        const bool any = (missing[0] | missing[1] | missing[2] | missing[3]) != 0;
        rows_with_nan[n_flagged] = static_cast<std::uint32_t>(r);
        n_flagged += any;
    }
    return n_flagged;
}

#undef QEL_LOAD_PART
#undef QEL_LOAD
#undef QEL_STORE

}  // namespace toolbox::matrix::rowwise

// The weight formula on vector lanes, shared by the kernels of the
// materialised weights and of the streamed forms: per-threshold factors as
// arrays, and the weights of four thresholds of one row at a time.
#pragma once

#include <cstddef>

#include "toolbox/matrix/array.hpp"
#include "toolbox/matrix/lanes.hpp"
#include "toolbox/qel/insights/weights/psr_weights.hpp"

namespace toolbox::qel::insights::weights::psr_weights {

inline matrix::Array1<PsrColumn> columns_of(const PsrSide& side) {
    auto cols = matrix::Array1<PsrColumn>::uninit(side.lambda_sq.size());
    for (std::size_t k = 0; k < side.lambda_sq.size(); ++k) cols[k] = psr_column(side, k);
    return cols;
}

namespace kernels {

namespace lanes = matrix::lanes;

// The per-threshold factors of the weight formula as arrays, for the lanes.
struct ColumnFactors {
    matrix::Vector b;
    matrix::Vector c;

    explicit ColumnFactors(const matrix::Array1<PsrColumn>& cols)
        : b(matrix::Vector::uninit(cols.size())), c(matrix::Vector::uninit(cols.size())) {
        for (std::size_t k = 0; k < cols.size(); ++k) {
            b[k] = cols[k].b;
            c[k] = cols[k].c;
        }
    }
};

// The weight formula of `psr_weight` on four lanes at once, for the masked
// values `m`: the same operations on the same values in every lane, the NaN
// test as a select.
[[gnu::always_inline]] inline lanes::v4d lane_weight(const lanes::v4d& m, const lanes::v4d& fb, const lanes::v4d& fc,
                                                     const lanes::v4d& inv) {
    const lanes::v4d zero = {0.0, 0.0, 0.0, 0.0};
    const lanes::v4d e = m - fc;
    lanes::v4d x = e * fb;
    x = x + inv;
    return x == x ? x : zero;
}

// The factors of group g of a block, in lanes.
template <std::size_t NV>
struct GroupFactors {
    lanes::v4d b[NV], c[NV];

    [[gnu::always_inline]] GroupFactors(const lanes::Block& blk, const ColumnFactors& f) {
        for (std::size_t g = 0; g < NV; ++g) {
            b[g] = lanes::gather(blk, f.b.data(), g);
            c[g] = lanes::gather(blk, f.c.data(), g);
        }
    }

    // The weights of row i (flags `d`, relevance `ri`) in group g. The masked
    // value (d ? 1.0 : 0.0) * ri is ri itself where d is set, and 0.0 * ri
    // (NaN for a NaN or infinite ri) elsewhere: a select between the two.
    [[gnu::always_inline]] lanes::v4d weight(const lanes::Block& blk, const bool* d, double ri, std::size_t g,
                                             const lanes::v4d& inv) const {
        const double off = 0.0 * ri;
        const lanes::v4d on_side = {ri, ri, ri, ri};
        const lanes::v4d off_side = {off, off, off, off};
        return lane_weight(lanes::load_mask(blk, d, g) ? on_side : off_side, b[g], c[g], inv);
    }
};

// Where a pass over the cells takes both sides' weights from: formed again
// from the side data, or read from the rows that an earlier pass of the same
// run kept. A kept weight is the value the formula gave there, so either
// source hands a pass the same values. `Lanes<NV>` serves the groups of one
// block of columns.
struct FormedWeights {
    matrix::BoolMatView include, exclude;
    matrix::VecView r;
    const ColumnFactors& f_in;
    const ColumnFactors& f_ex;
    double inv_n;

    template <std::size_t NV>
    struct Lanes {
        const FormedWeights& w;
        GroupFactors<NV> in, ex;
        lanes::v4d inv;

        [[gnu::always_inline]] Lanes(const lanes::Block& blk, const FormedWeights& src)
            : w(src), in(blk, src.f_in), ex(blk, src.f_ex), inv{src.inv_n, src.inv_n, src.inv_n, src.inv_n} {}
        [[gnu::always_inline]] lanes::v4d include(const lanes::Block& blk, std::size_t i, std::size_t g) const {
            return in.weight(blk, w.include.row(i).data(), w.r[i], g, inv);
        }
        [[gnu::always_inline]] lanes::v4d exclude(const lanes::Block& blk, std::size_t i, std::size_t g) const {
            return ex.weight(blk, w.exclude.row(i).data(), w.r[i], g, inv);
        }
    };

    double include_at(std::size_t i, std::size_t k) const {
        return psr_weight(psr_masked(include(i, k), r[i]), PsrColumn{f_in.b[k], f_in.c[k]}, inv_n);
    }
    double exclude_at(std::size_t i, std::size_t k) const {
        return psr_weight(psr_masked(exclude(i, k), r[i]), PsrColumn{f_ex.b[k], f_ex.c[k]}, inv_n);
    }
};

struct KeptWeights {
    matrix::MatView include, exclude;

    template <std::size_t NV>
    struct Lanes {
        const KeptWeights& w;

        [[gnu::always_inline]] Lanes(const lanes::Block&, const KeptWeights& src) : w(src) {}
        [[gnu::always_inline]] lanes::v4d include(const lanes::Block& blk, std::size_t i, std::size_t g) const {
            return lanes::load(blk, w.include.row(i).data(), g);
        }
        [[gnu::always_inline]] lanes::v4d exclude(const lanes::Block& blk, std::size_t i, std::size_t g) const {
            return lanes::load(blk, w.exclude.row(i).data(), g);
        }
    };

    double include_at(std::size_t i, std::size_t k) const { return include(i, k); }
    double exclude_at(std::size_t i, std::size_t k) const { return exclude(i, k); }
};

}  // namespace kernels

}  // namespace toolbox::qel::insights::weights::psr_weights

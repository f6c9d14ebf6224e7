#include "toolbox/matrix/mask.hpp"

#include <cmath>
#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/format.hpp"
#include "toolbox/parallel/pool.hpp"

namespace toolbox::matrix::mask {

namespace apply_mask {

namespace {

template <class Include, class Exclude>
std::pair<BoolMatrix, BoolMatrix> masks_by(VecView values, VecView thresholds, Include include, Exclude exclude) {
    const std::size_t N = values.size();
    const std::size_t T = thresholds.size();
    BoolMatrix in = BoolMatrix::uninit(N, T), out = BoolMatrix::uninit(N, T);
    const Vector thr = Vector::from(thresholds);
    // Both comparisons are written out (not one as the other's negation), so
    // that NaN on either side leaves a value out of both masks. Every row on
    // its own: many rows are spread over the pool.
    parallel::for_row_blocks(N, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            const double v = values[i];
            bool* in_row = in.row(i).data();
            bool* out_row = out.row(i).data();
            for (std::size_t j = 0; j < T; ++j) {
                in_row[j] = include(v, thr[j]);
                out_row[j] = exclude(v, thr[j]);
            }
        }
    });
    return {std::move(in), std::move(out)};
}

}  // namespace

std::pair<BoolMatrix, BoolMatrix> generate_include_masks(VecView values, VecView thresholds, std::uint8_t op_code) {
    const std::uint8_t code = op_code == kAbsentOperator ? std::uint8_t{2} : op_code;
    switch (code) {
        case 0:
            return masks_by(values, thresholds, [](double v, double t) { return v > t; },
                            [](double v, double t) { return v <= t; });
        case 1:
            return masks_by(values, thresholds, [](double v, double t) { return v < t; },
                            [](double v, double t) { return v >= t; });
        case 2:
            return masks_by(values, thresholds, [](double v, double t) { return v >= t; },
                            [](double v, double t) { return v < t; });
        case 3:
            return masks_by(values, thresholds, [](double v, double t) { return v <= t; },
                            [](double v, double t) { return v > t; });
        default:
            fault(format("unknown censor operator code {}", static_cast<unsigned>(op_code)));
    }
}

BoolVector get_array_mask_nonzero(VecView values, double tolerance) {
    BoolVector out = BoolVector::uninit(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = tolerance <= std::abs(values[i]);
    return out;
}

}  // namespace apply_mask

namespace true_count {

Vector true_count_axis(BoolMatView m, std::size_t axis) {
    require(axis <= 1, format("axis {} out of range for a matrix (expected 0 or 1)", axis));
    if (axis == 0) {
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

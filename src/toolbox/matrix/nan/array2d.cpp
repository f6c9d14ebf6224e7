#include "toolbox/matrix/nan/array2d.hpp"

namespace toolbox::matrix::nan::array2d {

namespace {

inline double add_present(double s, double v) { return v == v ? s + v : s; }

// The values are `value(p[i])`: the lane itself, or its squares.
template <class Value>
double nansum_contiguous(const double* p, std::size_t len, Value value) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    const std::size_t blocks = len / 4;
    for (std::size_t b = 0; b < blocks; ++b) {
        s0 = add_present(s0, value(p[4 * b]));
        s1 = add_present(s1, value(p[4 * b + 1]));
        s2 = add_present(s2, value(p[4 * b + 2]));
        s3 = add_present(s3, value(p[4 * b + 3]));
    }
    double total = (((0.0 + s0) + s1) + s2) + s3;
    for (std::size_t i = 4 * blocks; i < len; ++i) total = add_present(total, value(p[i]));
    return total;
}

double nansum_contiguous(const double* p, std::size_t len) {
    return nansum_contiguous(p, len, [](double v) { return v; });
}

}  // namespace

double nansum_lane(VecView lane, Vector& scratch) {
    const std::size_t len = lane.size();
    if (lane.contiguous() || len <= 1) return nansum_contiguous(lane.ptr, len);
    if (scratch.size() < len) scratch = Vector::uninit(len);
    for (std::size_t i = 0; i < len; ++i) scratch[i] = lane[i];
    return nansum_contiguous(scratch.data(), len);
}

double nansum_of_squares(VecView lane) {
    require(lane.contiguous() || lane.size() <= 1, "nansum_of_squares: lane is not contiguous");
    return nansum_contiguous(lane.ptr, lane.size(), [](double v) { return v * v; });
}

Vector nansum_axis(MatView x) {
    Vector out = Vector::uninit(x.cols());
    Vector scratch = Vector::uninit(x.rows());
    for (std::size_t j = 0; j < x.cols(); ++j) out[j] = nansum_lane(x.col(j), scratch);
    return out;
}

}  // namespace toolbox::matrix::nan::array2d

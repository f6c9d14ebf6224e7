// Random samples for the model suites as the engine's own arrays.
#pragma once

#include <cstddef>
#include <span>

#include "../support/host_sample.hpp"
#include "toolbox/matrix/array.hpp"

namespace test_data {

struct Data {
    toolbox::matrix::Vector y;
    toolbox::matrix::Matrix x;
    toolbox::matrix::Vector theta;
};

inline Data make_data(std::size_t n, std::size_t k, unsigned seed, double nan_share = 0.0) {
    const test_support::Sample s = test_support::normal_sample(n, k, seed, nan_share);
    using toolbox::matrix::Matrix;
    using toolbox::matrix::Vector;
    return Data{Vector::from(std::span<const double>(s.y)),
                Matrix::from(toolbox::matrix::MatView(s.x.data(), n, k)),
                Vector::from(std::span<const double>(s.theta))};
}

}  // namespace test_data

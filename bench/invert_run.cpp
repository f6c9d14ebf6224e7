// A whole-process view of one inversion of a covariance, for timing one build
// of the library against another:
//
//   invert_run K METHOD [calls]
//
// Inverts the sample covariance of K attributes (4 K observations) `calls`
// times (default 100000) by METHOD (0 LU, 1 Cholesky, 2 pseudoinverse), on
// one thread, and prints a checksum of the last inverse.
#include <cstdio>
#include <cstdlib>

#include "host_sample.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/inversion.hpp"
#include "toolbox/matrix/lapack.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s K METHOD [calls]\n", argv[0]);
        return 2;
    }
    const std::size_t k = std::strtoull(argv[1], nullptr, 10);
    const auto method = static_cast<toolbox::enums::InversionMethod>(std::atoi(argv[2]));
    const long calls = argc > 3 ? std::atol(argv[3]) : 100000;
    toolbox::matrix::lapack::set_blas_threads(1);

    const test_support::Sample s = test_support::linear_sample(4 * k, k);
    const toolbox::matrix::MatView x(s.x.data(), s.n, s.k);
    const toolbox::matrix::Matrix cov = toolbox::matrix::covariance::cov(x);
    double checksum = 0.0;
    for (long c = 0; c < calls; ++c) {
        auto inv = toolbox::matrix::inversion::inv_with_method(cov.view(), method);
        if (!inv) {
            std::fprintf(stderr, "%s\n", inv.error().message.c_str());
            return 1;
        }
        checksum = (*inv)(0, 0) + (*inv)(k - 1, k - 1);
    }
    std::printf("%.17g\n", checksum);
    return 0;
}

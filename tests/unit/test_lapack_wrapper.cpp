// The typed BLAS wrapper: row-major operands, transposes, strides and empty shapes.
#include <gtest/gtest.h>

#include <cmath>

#include "toolbox/matrix/array.hpp"
#include "toolbox/matrix/lapack.hpp"

namespace {

namespace lapack = toolbox::matrix::lapack;
using lapack::Trans;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

TEST(BlasWrapper, GemmRowMajorWithTransposes) {
    const Matrix a{{1, 2, 3}, {4, 5, 6}};  // 2 x 3
    const Matrix b{{1, 0}, {0, 1}, {1, 1}};  // 3 x 2
    Matrix c(2, 2, 1.0);
    lapack::dgemm(Trans::No, Trans::No, 2, 2, 3, 1.0, a.data(), 3, b.data(), 2, 2.0, c.data(), 2);
    EXPECT_EQ(c(0, 0), 4 + 2.0);
    EXPECT_EQ(c(0, 1), 5 + 2.0);
    EXPECT_EQ(c(1, 0), 10 + 2.0);
    EXPECT_EQ(c(1, 1), 11 + 2.0);
    // a^T a, 3 x 3.
    Matrix g(3, 3);
    lapack::dgemm(Trans::Yes, Trans::No, 3, 3, 2, 1.0, a.data(), 3, a.data(), 3, 0.0, g.data(), 3);
    EXPECT_EQ(g(0, 0), 17.0);
    EXPECT_EQ(g(0, 2), 27.0);
    EXPECT_EQ(g(2, 1), 36.0);
}

TEST(BlasWrapper, GemvAndDotOnStridedVectors) {
    const Matrix a{{1, 2}, {3, 4}, {5, 6}};
    const Vector x{1, 9, 1};  // read with stride 2: (1, 1)
    Vector y(3, NAN);         // beta = 0 overwrites, NaN included
    lapack::dgemv(Trans::No, 3, 2, 1.0, a.data(), 2, x.data(), 2, 0.0, y.data(), 1);
    EXPECT_EQ(y[0], 3.0);
    EXPECT_EQ(y[1], 7.0);
    EXPECT_EQ(y[2], 11.0);
    Vector z(2);
    lapack::dgemv(Trans::Yes, 3, 2, 1.0, a.data(), 2, x.data(), 1, 0.0, z.data(), 1);
    EXPECT_EQ(z[0], 1 + 27 + 5.0);
    EXPECT_EQ(z[1], 2 + 36 + 6.0);
    // Column 1 of a (stride 2) against x.
    EXPECT_EQ(lapack::ddot(3, a.data() + 1, 2, x.data(), 1), 2 + 36 + 6.0);
}

TEST(BlasWrapper, EmptyShapesAreSettledWithoutBlas) {
    Matrix c(2, 2, NAN);
    lapack::dgemm(Trans::No, Trans::No, 2, 2, 0, 1.0, nullptr, 0, nullptr, 2, 0.0, c.data(), 2);
    for (double v : c.flat()) EXPECT_EQ(v, 0.0);
    Vector y(3, 2.0);
    lapack::dgemv(Trans::No, 3, 0, 1.0, nullptr, 0, nullptr, 1, 0.5, y.data(), 1);
    for (double v : y) EXPECT_EQ(v, 1.0);
    EXPECT_EQ(lapack::ddot(0, nullptr, 1, nullptr, 1), 0.0);
}

}  // namespace

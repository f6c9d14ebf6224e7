// Matrix inversion by LU, Cholesky and the pseudoinverse.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../support/returns.hpp"
#include "toolbox/matrix/inversion.hpp"
#include "toolbox/matrix/lapack.hpp"

namespace {

using toolbox::enums::InversionMethod;
using toolbox::matrix::Matrix;
using toolbox::matrix::inversion::inv_lu;
using toolbox::matrix::inversion::inv_with_method;

constexpr InversionMethod kGaussian = InversionMethod::Gaussian;
constexpr InversionMethod kCholesky = InversionMethod::Cholesky;
constexpr InversionMethod kPinv = InversionMethod::Pseudoinverse;
const InversionMethod kByte7 = static_cast<InversionMethod>(7);

void expect_near(const Matrix& got, const Matrix& want, double tol, const std::string& what) {
    ASSERT_EQ(got.rows(), want.rows()) << what;
    ASSERT_EQ(got.cols(), want.cols()) << what;
    for (std::size_t i = 0; i < want.rows(); ++i)
        for (std::size_t j = 0; j < want.cols(); ++j)
            EXPECT_NEAR(got(i, j), want(i, j), tol) << what << " at (" << i << ", " << j << ")";
}

template <class T>
std::string error_of(const toolbox::Result<T>& r) {
    return r ? std::string("<ok>") : r.error().message;
}

TEST(Inversion, FailuresCarryTheirTexts) {
    const Matrix wide{{1, 2, 3}, {4, 5, 6}};
    const Matrix empty(0, 0);
    const Matrix singular{{1, 2}, {2, 4}};
    // Symmetric and invertible, but not positive definite.
    const Matrix indefinite{{1, 2}, {2, 1}};
    struct Case {
        const char* name;
        const Matrix* a;
        InversionMethod method;
        const char* text;
    } cases[] = {
        {"not square, gaussian", &wide, kGaussian, "Matrix must be square for inversion."},
        {"not square, cholesky", &wide, kCholesky, "Matrix must be square for inversion."},
        {"not square, pinv", &wide, kPinv, "Matrix must be square for inversion."},
        {"not square, byte 7", &wide, kByte7, "Matrix must be square for inversion."},
        {"empty, gaussian", &empty, kGaussian, "LU decomposition failed."},
        {"empty, cholesky", &empty, kCholesky, "Cholesky decomposition failed."},
        {"singular, gaussian", &singular, kGaussian, "LU decomposition failed."},
        {"singular, cholesky", &singular, kCholesky, "Cholesky decomposition failed."},
        // No fallback: the gaussian path could invert it, Cholesky still fails.
        {"indefinite, cholesky", &indefinite, kCholesky, "Cholesky decomposition failed."},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(inv_with_method(*c.a, c.method)), c.text) << c.name;
    EXPECT_EQ(error_of(inv_lu(wide)), "Matrix must be square for inversion.");
    EXPECT_TRUE(inv_with_method(indefinite, kGaussian).has_value());
}

TEST(Inversion, SmallResultsUnderEveryMethod) {
    const Matrix one{{4.0}};
    const Matrix singular{{1, 2}, {2, 4}};
    const Matrix zero(3, 3);
    struct Case {
        const char* name;
        const Matrix* a;
        InversionMethod method;
        Matrix want;
    } cases[] = {
        {"1x1 gaussian", &one, kGaussian, Matrix{{0.25}}},
        {"1x1 cholesky", &one, kCholesky, Matrix{{0.25}}},
        {"1x1 pinv", &one, kPinv, Matrix{{0.25}}},
        {"1x1 byte 7", &one, kByte7, Matrix{{0.25}}},
        {"singular pinv", &singular, kPinv, Matrix{{0.04, 0.08}, {0.08, 0.16}}},
        {"singular byte 7", &singular, kByte7, Matrix{{0.04, 0.08}, {0.08, 0.16}}},
        {"zero pinv", &zero, kPinv, Matrix(3, 3)},
    };
    for (const auto& c : cases) {
        const auto r = inv_with_method(*c.a, c.method);
        ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().message;
        expect_near(*r, c.want, 1e-14, c.name);
    }
    const auto e = inv_with_method(Matrix(0, 0), kPinv);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rows(), 0u);
    EXPECT_EQ(e->cols(), 0u);
}

// LAPACK's SVD can loop for ever on an infinite or NaN entry (the covariance
// of a sample holding 1e308 next to ordinary values holds both infinities), so
// the pseudoinverse refuses such input before LAPACK sees it. The other paths
// keep LAPACK's own outcome.
TEST(Inversion, PseudoinverseRefusesNonFiniteInputWithoutHanging) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        Matrix a;
    } cases[] = {
        // The covariance of the 5 x 3 sample {0,0,1, 5,1e308,2, 1,1,0, 2,3,1, 3,2,4}:
        // LAPACK never returns on it.
        {"covariance of a sample holding 1e308", Matrix{{3.7, inf, 1.6}, {inf, inf, 1e307}, {1.6, 1e307, 2.3}}},
        {"both infinities", Matrix{{3.7, inf, 0.35}, {inf, inf, -inf}, {0.35, -inf, 2.3}}},
        {"one infinity", Matrix{{2.0, 0.5, 0.1}, {0.5, inf, 0.2}, {0.1, 0.2, 1.0}}},
        {"NaN", Matrix{{2.0, 0.5, 0.1}, {0.5, nan, 0.2}, {0.1, 0.2, 1.0}}},
        {"1 x 1 infinity", Matrix{{-inf}}},
    };
    for (const auto& c : cases) {
        for (auto m : {kPinv, kByte7}) {
            const auto r = test_support::returns(c.name, [&] { return inv_with_method(c.a, m); });
            EXPECT_EQ(error_of(r), "SVD input is not finite.") << c.name;
        }
    }
    // The largest finite values are still decomposed.
    const double big = std::numeric_limits<double>::max();
    const auto r = test_support::returns("largest finite", [&] { return inv_with_method(Matrix{{big, 0}, {0, big}}, kPinv); });
    ASSERT_TRUE(r.has_value()) << error_of(r);
    EXPECT_EQ((*r)(0, 0), 1.0 / big);
}

// A factorisation that succeeds on a numerically singular matrix is refused
// by its condition number; the units of the attributes play no part in it.
TEST(Inversion, ConditionNumberRefusesWhatFactorisesButCannotBeInverted) {
    constexpr double eps = std::numeric_limits<double>::epsilon();
    const std::string refused = "Matrix is numerically singular (reciprocal condition number ";
    // The covariance of (a, b, a + b) for a = (1, 2, 4, 7), b = (3, 1, 0, 5):
    // exactly singular, but no pivot comes out exactly zero in floating point.
    auto covariance_of_a_sum = [] {
        const double a[] = {1, 2, 4, 7}, b[] = {3, 1, 0, 5};
        double x[4][3];
        for (int i = 0; i < 4; ++i) {
            x[i][0] = a[i] * 0.1;
            x[i][1] = b[i] * 0.3;
            x[i][2] = x[i][0] + x[i][1];
        }
        Matrix c(3, 3);
        for (int j = 0; j < 3; ++j)
            for (int l = 0; l < 3; ++l) {
                double mj = 0, ml = 0;
                for (int i = 0; i < 4; ++i) mj += x[i][j] / 4, ml += x[i][l] / 4;
                for (int i = 0; i < 4; ++i) c(j, l) += (x[i][j] - mj) * (x[i][l] - ml) / 3;
            }
        return c;
    };
    const double theta = 1e-8;
    struct Case {
        const char* name;
        Matrix a;
        bool inverted;
        // Rounding may instead leave a pivot that is exactly zero (LU) or
        // not positive (Cholesky), depending on OpenBLAS's kernel family.
        bool may_fail_to_factorise = false;
    } cases[] = {
        {"a pivot of machine epsilon", Matrix{{1, 1}, {1, 1 + eps}}, false},
        {"covariance of a column that is the sum of two others", covariance_of_a_sum(), false, true},
        {"close to singular, but not below machine epsilon", Matrix{{1, 1}, {1, 1 + 1e-10}}, true},
        // Variances of 1e16 and 1e-16 (correlation 0.5): the plain condition
        // number is about 1e-32, that of the correlations 1/3.
        {"attributes in very different units", Matrix{{1e16, 0.5}, {0.5, 1e-16}}, true},
        {"a rotation, not symmetric", Matrix{{std::cos(theta), -std::sin(theta)}, {std::sin(theta), std::cos(theta)}},
         true},
    };
    for (const auto& c : cases) {
        for (auto m : {kGaussian, kCholesky}) {
            if (m == kCholesky && c.a(0, 1) != c.a(1, 0)) continue;
            const auto r = inv_with_method(c.a, m);
            const std::string what = std::string(c.name) + ", method " + std::to_string(static_cast<int>(m));
            if (c.inverted) {
                EXPECT_TRUE(r.has_value()) << what << ": " << error_of(r);
                continue;
            }
            ASSERT_FALSE(r.has_value()) << what;
            const std::string& message = r.error().message;
            const char* unfactorised = m == kCholesky ? "Cholesky decomposition failed." : "LU decomposition failed.";
            if (c.may_fail_to_factorise && message == unfactorised) continue;
            ASSERT_EQ(message.rfind(refused, 0), 0u) << what << ": " << message;
            EXPECT_LT(std::stod(message.substr(refused.size())), eps) << message;
            EXPECT_NE(message.find(", below machine epsilon): an attribute is likely a linear combination of others, "
                                   "or without spread; drop it, or use the pseudoinverse."),
                      std::string::npos)
                << message;
            EXPECT_TRUE(toolbox::matrix::inversion::is_numerically_singular(r.error())) << what;
        }
        // The pseudoinverse is unchanged: it inverts what it can.
        EXPECT_TRUE(inv_with_method(c.a, kPinv).has_value()) << c.name;
    }
    // An exactly zero pivot keeps its own text, and that is not the condition.
    const auto exact = inv_lu(Matrix{{1, 2}, {2, 4}});
    ASSERT_FALSE(exact.has_value());
    EXPECT_FALSE(toolbox::matrix::inversion::is_numerically_singular(exact.error()));
}

// NaN and infinite entries have no condition number: LU keeps LAPACK's
// outcome, in which they flow on.
TEST(Inversion, NonFiniteEntriesAreNotJudgedByTheConditionNumber) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto with_nan = inv_lu(Matrix{{2.0, nan}, {nan, 1.0}});
    ASSERT_TRUE(with_nan.has_value()) << error_of(with_nan);
    for (double v : with_nan->flat()) EXPECT_TRUE(std::isnan(v));
    EXPECT_TRUE(inv_lu(Matrix{{inf, 0.5}, {0.5, 1.0}}).has_value());
}

// The extreme eigenvalues of the matrix scaled to a unit diagonal: those of
// its correlations, whatever the units of its attributes.
TEST(Inversion, ScaledEigenvalueRange) {
    using toolbox::matrix::inversion::scaled_eigenvalue_range;
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        Matrix a;
        double smallest, largest;
    } cases[] = {
        // Correlation 0.5 between variances 4 and 100.
        {"definite", Matrix{{4.0, 10.0}, {10.0, 100.0}}, 0.5, 1.5},
        {"units 1e10 and 1e-10", Matrix{{1e20, 0.5}, {0.5, 1e-20}}, 0.5, 1.5},
        // A correlation of 2: what pairwise deletion can give.
        {"indefinite", Matrix{{1.0, 2.0}, {2.0, 1.0}}, -1.0, 3.0},
        {"singular, semi-definite", Matrix{{4.0, 6.0}, {6.0, 9.0}}, 0.0, 2.0},
        // Only the entries on and above the diagonal are read.
        {"upper triangle", Matrix{{1.0, 2.0}, {7.0, 1.0}}, -1.0, 3.0},
        // Without a positive diagonal there is no scaling.
        {"zero variance", Matrix{{0.0, 0.0}, {0.0, 5.0}}, 0.0, 5.0},
    };
    for (const Case& c : cases) {
        const auto r = scaled_eigenvalue_range(c.a);
        ASSERT_TRUE(r.has_value()) << c.name << ": " << error_of(r);
        EXPECT_NEAR(r->smallest, c.smallest, 1e-15) << c.name;
        EXPECT_NEAR(r->largest, c.largest, 1e-15) << c.name;
    }
    EXPECT_EQ(error_of(scaled_eigenvalue_range(Matrix{{1.0, nan}, {nan, 1.0}})), "Eigenvalue input is not finite.");
    EXPECT_EQ(error_of(scaled_eigenvalue_range(Matrix{{inf, 0.0}, {0.0, 1.0}})), "Eigenvalue input is not finite.");
    EXPECT_EQ(error_of(scaled_eigenvalue_range(Matrix(2, 3))), "Matrix must be square for inversion.");
    const auto empty = scaled_eigenvalue_range(Matrix(0, 0));
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->smallest, 0.0);
    EXPECT_EQ(empty->largest, 0.0);
}

// The eigenvalues decide whether a covariance is refused: their bits must
// not follow OpenBLAS's thread count, which a reduction through its
// threaded products would make them do.
TEST(Inversion, ScaledEigenvaluesKeepTheirBitsWhateverOpenBlasThreads) {
    namespace lapack = toolbox::matrix::lapack;
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    const std::size_t n = 64;
    Matrix a(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j)
            a(i, j) = a(j, i) = i == j ? 1.0 + std::fabs(normal(rng)) : 0.2 * normal(rng);
    const int threads = lapack::blas_threads();
    auto bits = [&](int t) {
        lapack::set_blas_threads(t);
        const auto r = toolbox::matrix::inversion::scaled_eigenvalue_range(a);
        EXPECT_TRUE(r.has_value());
        return r ? std::pair{std::bit_cast<std::uint64_t>(r->smallest), std::bit_cast<std::uint64_t>(r->largest)}
                 : std::pair<std::uint64_t, std::uint64_t>{};
    };
    const auto one = bits(1);
    EXPECT_EQ(bits(4), one);
    EXPECT_EQ(bits(8), one);
    lapack::set_blas_threads(threads);
}

TEST(Inversion, ThreeMethodsAgreeOnASymmetricPositiveDefiniteMatrix) {
    const Matrix a{{4, 1, 0.5, 0.2}, {1, 3, 0.3, 0.1}, {0.5, 0.3, 2, 0.4}, {0.2, 0.1, 0.4, 1.5}};
    const auto lu = inv_with_method(a, kGaussian);
    const auto ch = inv_with_method(a, kCholesky);
    const auto pi = inv_with_method(a, kPinv);
    ASSERT_TRUE(lu && ch && pi);
    expect_near(*ch, *lu, 1e-13, "cholesky vs lu");
    expect_near(*pi, *lu, 1e-13, "pinv vs lu");
    // And it is the inverse: a * inv = I.
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) {
            double s = 0;
            for (std::size_t k = 0; k < 4; ++k) s += a(i, k) * (*lu)(k, j);
            EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-13);
        }
}

// The LU and pseudoinverse paths invert `a` itself, not its transpose.
TEST(Inversion, NonSymmetricMatrixIsInvertedItself) {
    const Matrix a{{2, 1}, {0, 4}};
    const Matrix want{{0.5, -0.125}, {0, 0.25}};
    for (auto m : {kGaussian, kPinv}) {
        const auto r = inv_with_method(a, m);
        ASSERT_TRUE(r.has_value());
        expect_near(*r, want, 1e-15, "method " + std::to_string(static_cast<int>(m)));
    }
    // Method 0 is exactly inv_lu.
    const auto direct = inv_lu(a);
    const auto via = inv_with_method(a, kGaussian);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(direct->data()[i], via->data()[i]);
}

// Rank-deficient non-symmetric input: the pseudoinverse satisfies A A+ A = A.
TEST(Inversion, PseudoinverseOfRankDeficientNonSymmetricMatrix) {
    const Matrix a{{1, 2, 3}, {2, 4, 6}, {1, 0, 1}};
    const auto p = inv_with_method(a, kPinv);
    ASSERT_TRUE(p.has_value());
    auto mul = [](const Matrix& x, const Matrix& y) {
        Matrix z(x.rows(), y.cols());
        for (std::size_t i = 0; i < x.rows(); ++i)
            for (std::size_t j = 0; j < y.cols(); ++j)
                for (std::size_t k = 0; k < x.cols(); ++k) z(i, j) += x(i, k) * y(k, j);
        return z;
    };
    expect_near(mul(mul(a, *p), a), a, 1e-12, "A A+ A");
    expect_near(mul(mul(*p, a), *p), *p, 1e-12, "A+ A A+");
}

TEST(Inversion, CholeskyReadsOnlyTheUpperTriangleAndReturnsASymmetricMatrix) {
    const Matrix a{{4, 1, 0.5}, {1, 3, 0.3}, {0.5, 0.3, 2}};
    Matrix scrambled = a;
    scrambled(1, 0) = 100.0;
    scrambled(2, 0) = -7.0;
    scrambled(2, 1) = std::nan("");
    const auto clean = inv_with_method(a, kCholesky);
    const auto messy = inv_with_method(scrambled, kCholesky);
    ASSERT_TRUE(clean && messy);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) {
            EXPECT_EQ((*messy)(i, j), (*clean)(i, j));
            EXPECT_EQ((*messy)(i, j), (*messy)(j, i));
        }
}

// Grid and max-fit workers invert at the same time; a BLAS build that is not
// safe to call concurrently shows up here as differing bits or a crash.
TEST(Inversion, EightThreadsAtOnceGiveTheSingleThreadedBits) {
    const std::size_t n = 60;  // large enough for LAPACK's blocked code paths
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    Matrix g(n, n);
    for (double& v : g.flat()) v = normal(rng);
    Matrix spd(n, n);  // g g^T + n I
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double s = i == j ? static_cast<double>(n) : 0.0;
            for (std::size_t k = 0; k < n; ++k) s += g(i, k) * g(j, k);
            spd(i, j) = s;
        }
    const InversionMethod methods[] = {kGaussian, kCholesky, kPinv};
    std::vector<Matrix> want;
    for (auto m : methods) want.push_back(*inv_with_method(spd, m));

    std::vector<int> mismatches(8, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t)
        threads.emplace_back([&, t] {
            for (int rep = 0; rep < 5; ++rep)
                for (std::size_t m = 0; m < 3; ++m) {
                    const auto r = inv_with_method(spd, methods[m]);
                    if (!r) {
                        ++mismatches[t];
                        continue;
                    }
                    for (std::size_t i = 0; i < r->size(); ++i)
                        mismatches[t] += std::bit_cast<std::uint64_t>(r->data()[i]) !=
                                         std::bit_cast<std::uint64_t>(want[m].data()[i]);
                }
        });
    for (auto& th : threads) th.join();
    for (std::size_t t = 0; t < mismatches.size(); ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace

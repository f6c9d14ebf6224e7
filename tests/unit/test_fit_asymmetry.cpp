// Fit statistics of weights against outcomes, and the asymmetry of the two
// sides of the censor.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "toolbox/qel/insights/asymmetry/asymmetry.hpp"
#include "toolbox/matrix/lapack.hpp"
#include "toolbox/qel/insights/fit/fit.hpp"

namespace {

using namespace toolbox::qel::insights;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Matrix random_matrix(std::size_t n, std::size_t t, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    Matrix m = Matrix::uninit(n, t);
    for (auto& v : m.flat()) v = normal(rng);
    return m;
}

Vector random_vector(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    Vector v = Vector::uninit(n);
    for (auto& x : v) x = normal(rng);
    return v;
}

// The textbook correlation of column k with y.
double pearson(const Matrix& w, std::size_t k, const Vector& y) {
    const std::size_t n = y.size();
    double mw = 0, my = 0;
    for (std::size_t i = 0; i < n; ++i) {
        mw += w(i, k);
        my += y[i];
    }
    mw /= n;
    my /= n;
    double c = 0, vw = 0, vy = 0;
    for (std::size_t i = 0; i < n; ++i) {
        c += (w(i, k) - mw) * (y[i] - my);
        vw += (w(i, k) - mw) * (w(i, k) - mw);
        vy += (y[i] - my) * (y[i] - my);
    }
    return c / std::sqrt(vw * vy);
}

TEST(Fit, RowCountMismatchIsAnError) {
    const Matrix w(5, 2, 1.0);
    const Vector y(4, 1.0);
    auto r = fit::fit_auto_vectorized(w, y);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "Number of observations mismatch: weights has 5 rows, y has 4 elements");
}

TEST(Fit, BothFormsAgreeWithTheTextbookForColumnsWithSpread) {
    const std::size_t n = 300;
    const Vector y = random_vector(n, 1);
    for (std::size_t t : {1u, 5u, 11u, 12u, 20u}) {
        const Matrix w = random_matrix(n, t, 2 + static_cast<unsigned>(t));
        auto r = fit::fit_auto_vectorized(w, y);
        ASSERT_TRUE(r.has_value());
        const fit::FitResult per_col = fit::fit(w, y);
        const fit::FitResult matrix = fit::fit_vectorized(w, y);
        for (std::size_t k = 0; k < t; ++k) {
            const double rho = pearson(w, k, y);
            EXPECT_NEAR(r->rho[k], rho, 1e-12) << t << " " << k;
            EXPECT_NEAR(r->fit[k], rho * rho, 1e-12);
            EXPECT_NEAR(per_col.rho[k], matrix.rho[k], 1e-12);
            EXPECT_NEAR(per_col.outlier_influence[k], matrix.outlier_influence[k], 1e-12);
            // Outlier influence: mean product of squared population z-scores / (N - 1)^2 * N.
            double mw = 0, my = 0;
            for (std::size_t i = 0; i < n; ++i) {
                mw += w(i, k);
                my += y[i];
            }
            mw /= n;
            my /= n;
            double vw = 0, vy = 0;
            for (std::size_t i = 0; i < n; ++i) {
                vw += (w(i, k) - mw) * (w(i, k) - mw) / n;
                vy += (y[i] - my) * (y[i] - my) / n;
            }
            double q = 0;
            for (std::size_t i = 0; i < n; ++i) {
                q += (w(i, k) - mw) * (w(i, k) - mw) / vw * (y[i] - my) * (y[i] - my) / vy;
            }
            EXPECT_NEAR(r->outlier_influence[k], q / ((n - 1.0) * (n - 1.0)), 1e-12);
            EXPECT_EQ(r->agreement[k], r->fit[k] - r->outlier_influence[k]);
        }
    }
}

// The same inputs must give the same bits on every machine. A library
// matrix-vector product splits its sum over rows by the number of threads it
// runs on; the matrix form must not depend on that.
TEST(Fit, MatrixFormIsTheSameBitsWhateverTheBlasThreads) {
    const std::size_t n = 20000;
    const std::size_t t = 12;
    const Vector y = random_vector(n, 31);
    Matrix w = random_matrix(n, t, 32);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < t; ++k) w(i, k) += 0.05 * static_cast<double>(k) * y[i];
    }
    namespace lapack = toolbox::matrix::lapack;
    const int before = lapack::blas_threads();
    lapack::set_blas_threads(1);
    const fit::FitResult one = fit::fit_vectorized(w, y);
    lapack::set_blas_threads(4);
    const fit::FitResult four = fit::fit_vectorized(w, y);
    lapack::set_blas_threads(before);
    // Its correlations are also those of the column-by-column form, bit for bit.
    const fit::FitResult per_col = fit::fit(w, y);
    for (std::size_t k = 0; k < t; ++k) {
        EXPECT_EQ(one.rho[k], four.rho[k]) << k;
        EXPECT_EQ(one.agreement[k], four.agreement[k]) << k;
        EXPECT_EQ(one.rho[k], per_col.rho[k]) << k;
        EXPECT_EQ(one.fit[k], per_col.fit[k]) << k;
    }
}

TEST(Fit, ColumnsWithoutSpreadSplitAtElevenThresholds) {
    struct Case {
        std::size_t t;
        bool nan_influence;
    } cases[] = {{1, true}, {11, true}, {12, false}, {15, false}};
    for (const auto& c : cases) {
        // Outcomes without spread: every column degenerate.
        const Matrix w = random_matrix(6, c.t, 9);
        auto flat = fit::fit_auto_vectorized(w, Vector(6, 0.0));
        ASSERT_TRUE(flat.has_value());
        // A zero weight column (column 0) against outcomes with spread.
        Matrix w0 = w;
        for (std::size_t i = 0; i < 6; ++i) w0(i, 0) = 0.0;
        const Vector y = random_vector(6, 4);
        auto col = fit::fit_auto_vectorized(w0, y);
        ASSERT_TRUE(col.has_value());
        for (std::size_t k = 0; k < c.t; ++k) {
            EXPECT_EQ(flat->rho[k], 0.0);
            EXPECT_EQ(flat->fit[k], 0.0);
            EXPECT_EQ(std::isnan(flat->outlier_influence[k]), c.nan_influence) << c.t;
            EXPECT_EQ(std::isnan(flat->agreement[k]), c.nan_influence) << c.t;
            if (!c.nan_influence) {
                EXPECT_EQ(flat->outlier_influence[k], 0.0);
                EXPECT_EQ(flat->agreement[k], 0.0);
            }
        }
        EXPECT_EQ(col->rho[0], 0.0);
        EXPECT_EQ(std::isnan(col->outlier_influence[0]), c.nan_influence) << c.t;
        for (std::size_t k = 1; k < c.t; ++k) {
            EXPECT_NEAR(col->rho[k], pearson(w0, k, y), 1e-12);
            EXPECT_TRUE(std::isfinite(col->outlier_influence[k]));
        }
    }
}

TEST(Fit, SmallAndEmptyShapes) {
    auto one = fit::fit_auto_vectorized(Matrix(1, 3, 0.7), Vector(1, 2.0));
    ASSERT_TRUE(one.has_value());
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(one->rho[k], 0.0);
    auto none = fit::fit_auto_vectorized(Matrix(4, 0), Vector(4, 1.0));
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(none->fit.size(), 0u);
    EXPECT_EQ(none->agreement.size(), 0u);
    auto no_rows = fit::fit_auto_vectorized(Matrix(0, 2), Vector());
    ASSERT_TRUE(no_rows.has_value());
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(no_rows->rho[k], 0.0);
        EXPECT_EQ(no_rows->fit[k], 0.0);
        EXPECT_EQ(no_rows->outlier_influence[k], 0.0);
    }
}

TEST(Fit, ProportionalWeightsFitPerfectly) {
    const Vector y = {1, 3, 2, 7, 5};
    for (std::size_t t : {2u, 13u}) {
        Matrix w(5, t);
        for (std::size_t i = 0; i < 5; ++i)
            for (std::size_t k = 0; k < t; ++k) w(i, k) = (k + 1) * 0.5 * y[i];
        auto r = fit::fit_auto_vectorized(w, y);
        ASSERT_TRUE(r.has_value());
        for (std::size_t k = 0; k < t; ++k) {
            EXPECT_NEAR(r->rho[k], 1.0, 1e-14);
            EXPECT_NEAR(r->fit[k], 1.0, 1e-14);
        }
    }
}

TEST(Asymmetry, HalfTheSquaredDifferenceUnlessEverythingIsRetained) {
    const std::size_t n = 40, t = 3;
    const Vector y = random_vector(n, 21);
    const Matrix win = random_matrix(n, t, 22);
    const Matrix wex = random_matrix(n, t, 23);
    const Vector counts = {10.0, 40.0, kNaN};
    auto r = asymmetry::asymmetry(counts, win, wex, y);
    ASSERT_TRUE(r.has_value());
    auto fin = fit::fit_auto_vectorized(win, y);
    auto fex = fit::fit_auto_vectorized(wex, y);
    const double d0 = fin->rho[0] - fex->rho[0];
    EXPECT_EQ(r->asymmetry[0], (d0 * d0) * 0.5);
    EXPECT_EQ(r->asymmetry[1], 0.0);  // n equals N
    const double d2 = fin->rho[2] - fex->rho[2];
    EXPECT_EQ(r->asymmetry[2], (d2 * d2) * 0.5);  // NaN is never equal to N

    const auto& m = r->stats;
    ASSERT_TRUE(m.fit_excluded.has_value());
    for (std::size_t k = 0; k < t; ++k) {
        EXPECT_EQ(m.fit[k], fin->fit[k]);
        EXPECT_EQ(m.rho[k], fin->rho[k]);
        EXPECT_EQ((*m.fit_excluded)[k], fex->fit[k]);
        EXPECT_EQ(m.rho_excluded[k], fex->rho[k]);
        EXPECT_EQ(m.outlier_influence[k], fin->outlier_influence[k]);
        EXPECT_EQ(m.agreement[k], fin->agreement[k]);
    }
    EXPECT_EQ(m.n[0], 10.0);
    EXPECT_TRUE(std::isnan(m.n[2]));
}

TEST(Asymmetry, ANaNAsymmetryStaysNaNWhereEverythingIsRetained) {
    // Overflowing sums: C, Vw and Vy are all infinite, so rho is inf/inf.
    const Vector y = {1e200, -1e200, 0.0};
    const Matrix w = {{1e200}, {-1e200}, {0.0}};
    auto r = asymmetry::asymmetry(Vector{3.0}, w, Matrix(3, 1, 0.5), y);
    ASSERT_TRUE(r.has_value());
    ASSERT_TRUE(std::isnan(r->stats.rho[0]));
    EXPECT_TRUE(std::isnan(r->asymmetry[0]));
}

TEST(Asymmetry, ErrorsOfEitherSideComeBackUnchanged) {
    const Vector y(4, 1.0);
    auto in = asymmetry::asymmetry(Vector{1.0}, Matrix(5, 1), Matrix(6, 1), y);
    ASSERT_FALSE(in.has_value());
    EXPECT_EQ(in.error().message, "Number of observations mismatch: weights has 5 rows, y has 4 elements");
    auto ex = asymmetry::asymmetry(Vector{1.0}, Matrix(4, 1), Matrix(6, 1), y);
    ASSERT_FALSE(ex.has_value());
    EXPECT_EQ(ex.error().message, "Number of observations mismatch: weights has 6 rows, y has 4 elements");
}

TEST(Asymmetry, NoThresholdsGiveSevenEmptyEntries) {
    auto r = asymmetry::asymmetry(Vector(), Matrix(3, 0), Matrix(3, 0), Vector(3, 1.0));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->asymmetry.size(), 0u);
    const auto& m = r->stats;
    ASSERT_TRUE(m.fit_excluded.has_value());
    for (const Vector* v : {&m.fit, &m.rho, &*m.fit_excluded, &m.rho_excluded, &m.outlier_influence, &m.agreement,
                            &m.n}) {
        EXPECT_EQ(v->size(), 0u);
    }
}

}  // namespace

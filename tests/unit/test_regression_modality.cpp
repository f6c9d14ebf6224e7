// The linear-regression value at a target row and the two modality indices.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/stats/linear_regression.hpp"
#include "toolbox/stats/modality.hpp"

namespace {

using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;
namespace lr = toolbox::stats::linear_regression;
namespace mod = toolbox::stats::modality;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(LinearRegression, Values) {
    struct Case {
        const char* name;
        Vector y;
        Matrix x;
        Vector theta;
        double expected;  // NaN: the result is NaN
    } cases[] = {
        {"a line", {1, 2, 3}, {{1}, {2}, {3}}, {4}, 4.0},
        {"a row with missing y is dropped", {1, 2, kNaN, 4}, {{1}, {2}, {3}, {4}}, {5}, 5.0},
        {"a row with a missing attribute is dropped", {1, 2, 30, 4}, {{1}, {2}, {kNaN}, {4}}, {5}, 5.0},
        {"a plane", {1 + 2 * 1 - 3 * 0, 1 + 2 * 0 - 3 * 1, 1 + 2 * 2 - 3 * 1, 1 + 2 * 3 - 3 * 5},
         {{1, 0}, {0, 1}, {2, 1}, {3, 5}}, {10, -2}, 1 + 2 * 10 - 3 * -2.0},
        {"every row has a NaN", {1, kNaN, 3}, {{kNaN}, {2}, {kNaN}}, {1}, kNaN},
        {"no rows", {}, Matrix(0, 2), {1, 2}, kNaN},
    };
    for (const auto& c : cases) {
        auto r = lr::direct_linear_regression(c.y, c.x, c.theta);
        ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().message;
        if (std::isnan(c.expected))
            EXPECT_TRUE(std::isnan(*r)) << c.name;
        else
            EXPECT_NEAR(*r, c.expected, 1e-12 * (1 + std::abs(c.expected))) << c.name;
    }
}

TEST(LinearRegression, Errors) {
    struct Case {
        const char* name;
        Vector y;
        Matrix x;
        Vector theta;
        std::string text;
    } cases[] = {
        {"y shorter than X", {1, 2}, {{1}, {2}, {3}}, {1}, "Number of observations in y and X must match"},
        {"theta shorter than the columns", {1}, {{1, 2, 3}}, {1, 2}, "Theta length (2) must match number of X columns (3)"},
        {"a constant attribute", {1, 2, 3}, {{1}, {1}, {1}}, {1}, "Failed to invert cov_X: LU decomposition failed."},
        {"a constant attribute among rows with NaN", {1, 2, 3, kNaN}, {{1}, {1}, {1}, {4}}, {1},
         "Failed to invert cov_X: LU decomposition failed."},
    };
    for (const auto& c : cases) {
        auto r = lr::direct_linear_regression(c.y, c.x, c.theta);
        ASSERT_FALSE(r.has_value()) << c.name;
        EXPECT_EQ(r.error().message, c.text) << c.name;
    }
}

// The rows kept by the NaN path give the same value as the complete-data path
// on those rows alone.
TEST(LinearRegression, NaNPathAgreesWithCompleteRows) {
    std::mt19937_64 rng(9);
    std::normal_distribution<double> nd;
    const std::size_t N = 50, K = 3;
    Matrix x(N, K), kept_x(N - 2, K);
    Vector y(N), kept_y(N - 2);
    std::size_t w = 0;
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < K; ++j) x(i, j) = nd(rng);
        y[i] = 0.5 + x(i, 0) - 2 * x(i, 2) + 0.1 * nd(rng);
        if (i == 7) y[i] = kNaN;
        if (i == 30) x(i, 1) = kNaN;
        if (i != 7 && i != 30) {
            for (std::size_t j = 0; j < K; ++j) kept_x(w, j) = x(i, j);
            kept_y[w++] = y[i];
        }
    }
    const Vector theta{0.3, -1.0, 2.0};
    auto with_nan = lr::direct_linear_regression(y, x, theta);
    auto complete = lr::direct_linear_regression(kept_y, kept_x, theta);
    ASSERT_TRUE(with_nan.has_value());
    ASSERT_TRUE(complete.has_value());
    EXPECT_NEAR(*with_nan, *complete, 1e-12 * (1 + std::abs(*complete)));
}

TEST(LinearRegression, FromJointMoments) {
    // K = 1: beta = S_xy / S_xx = 4 / 2, value = mean_y + (theta - mean_x) * beta.
    const Vector mean{1.0, 10.0};
    const Matrix cov{{2.0, 4.0}, {4.0, 100.0}};
    auto r = lr::ols_yhat_from_joint(mean, cov, Vector{3.0});
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, 14.0);
    auto singular = lr::ols_yhat_from_joint(mean, Matrix{{0.0, 4.0}, {4.0, 1.0}}, Vector{3.0});
    ASSERT_FALSE(singular.has_value());
    EXPECT_EQ(singular.error().message, "Failed to invert cov_X: LU decomposition failed.");
}

TEST(Modality, Indices) {
    const Vector s{0, 1, kNaN}, k{2, 4, 3};
    const Vector bc = mod::bimodality_coefficient(s, k);
    const Vector pm = mod::pearson_modality_index(s, k);
    ASSERT_EQ(bc.size(), 3u);
    ASSERT_EQ(pm.size(), 3u);
    EXPECT_EQ(bc[0], 0.5);
    EXPECT_EQ(bc[1], 0.5);
    EXPECT_TRUE(std::isnan(bc[2]));
    EXPECT_EQ(pm[0], 2.0);
    EXPECT_EQ(pm[1], 3.0);
    EXPECT_TRUE(std::isnan(pm[2]));
}

TEST(Modality, UnequalLengthsAreAFault) {
    const Vector s(2), k(3);
    for (auto index : {mod::bimodality_coefficient, mod::pearson_modality_index}) {
        try {
            index(s, k);
            ADD_FAILURE() << "no fault";
        } catch (const toolbox::Fault& f) {
            ASSERT_TRUE(f.text().has_value());
            EXPECT_EQ(f.text()->rfind("skewness and kurtosis arrays must have the same length", 0), 0u) << *f.text();
            EXPECT_NE(f.text()->find('2'), std::string::npos) << *f.text();
            EXPECT_NE(f.text()->find('3'), std::string::npos) << *f.text();
        }
    }
}

}  // namespace

// Similarity, informativeness and relevance on small samples.
#include <gtest/gtest.h>

#include <cmath>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/insights/informativeness.hpp"
#include "toolbox/qel/insights/relevance.hpp"
#include "toolbox/qel/insights/similarity.hpp"

namespace {

using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;
namespace qi = toolbox::qel::insights;

TEST(Relevance, DimensionMismatchesAreErrors) {
    const Matrix x = {{1.0, 2.0}, {3.0, 4.0}, {0.0, 1.0}};
    const Vector theta3 = {1.0, 2.0, 3.0};
    const Vector mean = {1.0, 2.0};
    const Matrix c = {{1.0, 0.0}, {0.0, 1.0}};
    const Matrix c3 = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};

    const auto s = qi::similarity(x, theta3, c);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "Inputs `a` and `b` must have the same number of attributes (columns)");
    const auto s2 = qi::similarity(x, mean, c3);  // the distance routine's own text
    ASSERT_FALSE(s2);
    EXPECT_EQ(s2.error().message, "Dimension mismatch between x columns and mean vector.");

    for (const auto& [t, m, cov] : {std::tuple{&theta3, &mean, &c}, std::tuple{&mean, &theta3, &c},
                                    std::tuple{&mean, &mean, &c3}}) {
        const auto r = qi::relevance(x, *t, *m, *cov);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message, "Dimension mismatch between x columns and center vectors.");
    }

    // The informativeness parts serve callers that shaped their inputs: a
    // mismatch there is an internal fault, in the distance routine's words.
    for (const auto& d :
         {qi::informativeness::info_x(x, theta3, c), qi::informativeness::info_theta(theta3, mean, c)}) {
        ASSERT_FALSE(d.has_value());
        EXPECT_TRUE(d.error().internal_fault) << d.error().message;
        EXPECT_TRUE(d.error().message.starts_with("Dimension mismatch")) << d.error().message;
    }
}

TEST(Relevance, PartsAndTheirSum) {
    const Matrix x = {{1.0, 2.0}, {3.0, 4.5}, {0.0, -1.0}, {2.0, 0.5}};
    const Vector theta = {3.0, 4.5};  // equal to row 1
    const Vector mean = {1.5, 1.5};
    const Matrix c = {{2.0, 0.5}, {0.5, 1.0}};
    const auto r = qi::relevance(x, theta, mean, c);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->relevance.size(), 4u);
    ASSERT_EQ(r->info_theta.size(), 1u);

    const auto d = [&](double a0, double a1, double b0, double b1) {
        const double u = a0 - b0, v = a1 - b1;
        return u * u * 2.0 + 2 * u * v * 0.5 + v * v * 1.0;
    };
    EXPECT_NEAR(r->info_theta[0], d(3.0, 4.5, 1.5, 1.5), 1e-12);
    const auto sim = qi::similarity(x, theta, c);
    ASSERT_TRUE(sim);
    const Vector ix = qi::informativeness::info_x(x, mean, c).value();
    const Vector it = qi::informativeness::info_theta(theta, mean, c).value();
    EXPECT_EQ(it[0], r->info_theta[0]);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(r->info_x[i], d(x(i, 0), x(i, 1), 1.5, 1.5), 1e-12) << i;
        EXPECT_NEAR(r->similarity[i], -0.5 * d(x(i, 0), x(i, 1), 3.0, 4.5), 1e-12) << i;
        EXPECT_EQ(r->similarity[i], (*sim)[i]) << i;
        EXPECT_EQ(r->info_x[i], ix[i]) << i;
        EXPECT_EQ(r->relevance[i], r->similarity[i] + (r->info_x[i] + r->info_theta[0]) * 0.5) << i;
    }
    // The observation equal to the target: similarity -0, relevance its informativeness.
    EXPECT_EQ(r->similarity[1], 0.0);
    EXPECT_TRUE(std::signbit(r->similarity[1]));
    EXPECT_EQ(r->relevance[1], (r->info_x[1] + r->info_theta[0]) * 0.5);
}

TEST(Relevance, OneAttribute) {
    const Matrix x = {{1.0}, {-2.0}, {0.5}};
    const Vector theta = {0.25};
    const Vector mean = {-0.5};
    const Matrix c = {{0.8}};
    const auto r = qi::relevance(x, theta, mean, c);
    ASSERT_TRUE(r);
    for (std::size_t i = 0; i < 3; ++i) {
        const double dt = x(i, 0) - 0.25, dm = x(i, 0) + 0.5;
        EXPECT_DOUBLE_EQ(r->similarity[i], -0.5 * (dt * dt * 0.8)) << i;
        EXPECT_DOUBLE_EQ(r->info_x[i], dm * dm * 0.8) << i;
    }
    EXPECT_DOUBLE_EQ(r->info_theta[0], 0.75 * 0.8 * 0.75);
}

TEST(Relevance, NaNFlowsIntoItsRow) {
    const Matrix x = {{1.0, 2.0}, {NAN, 4.0}, {0.0, 1.0}};
    const Vector theta = {0.5, 0.5};
    const Vector mean = {0.5, 2.0};
    const Matrix c = {{1.0, 0.0}, {0.0, 1.0}};
    const auto r = qi::relevance(x, theta, mean, c);
    ASSERT_TRUE(r);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(std::isnan(r->relevance[i]), i == 1) << i;
        EXPECT_EQ(std::isnan(r->info_x[i]), i == 1) << i;
    }
    EXPECT_FALSE(std::isnan(r->info_theta[0]));
}

}  // namespace

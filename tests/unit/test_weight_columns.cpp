// The passes over a matrix of weights that the fit statistics read: the
// spread of each column by the fused Welford update, and the one pass that
// gives the spread with each column's sum and sum of products with y.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "toolbox/qel/insights/fit/weight_columns.hpp"

namespace {

namespace fit = toolbox::qel::insights::fit;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(const Vector& a, const Vector& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
    }
    return true;
}

TEST(WeightColumns, WeightsConcentrationIsThePopulationSpreadOfEachColumn) {
    struct Case {
        const char* name;
        Matrix weights;
        std::vector<double> expected;
    } cases[] = {
        {"no rows", Matrix(0, 3), {0.0, 0.0, 0.0}},
        {"no columns", Matrix(4, 0), {}},
        {"equal weights", Matrix{{0.25, 0.5}, {0.25, 0.5}, {0.25, 0.5}, {0.25, 0.5}}, {0.0, 0.0}},
        {"signs kept", Matrix{{1.0}, {-1.0}}, {1.0}},
        {"NaN counts as zero", Matrix{{NaN, 0.0}, {2.0, 2.0}}, {1.0, 1.0}},
        {"all NaN", Matrix{{NaN}, {NaN}}, {0.0}},
        {"one row", Matrix{{3.0, -2.0}}, {0.0, 0.0}},
        {"columns independent", Matrix{{0.0, 1.0}, {0.0, 3.0}, {3.0, 5.0}}, {std::sqrt(2.0), std::sqrt(8.0 / 3.0)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Vector out = fit::weights_concentration_from_matrix(c.weights);
        ASSERT_EQ(out.size(), c.expected.size());
        for (std::size_t j = 0; j < out.size(); ++j) EXPECT_DOUBLE_EQ(out[j], c.expected[j]) << j;
    }
}

TEST(WeightColumns, WeightsConcentrationFollowsTheFusedWelfordUpdateBitForBit) {
    // A column whose spread differs in the last bit between the fused update
    // of the sum of squared deviations (0x3fcc8c17e0c3349c) and an unfused
    // one (0x3fcc8c17e0c3349d).
    const std::vector<double> w = {0.56984714870209663, 0.63523121831373608, 0.089453193644654524,
                                   0.55617889912237994, 0.78965196950648364, 0.22163367399339631,
                                   0.41866852935895699, 0.24977792341670949};
    Matrix m(w.size(), 1);
    for (std::size_t i = 0; i < w.size(); ++i) m(i, 0) = w[i];
    EXPECT_EQ(std::bit_cast<std::uint64_t>(fit::weights_concentration_from_matrix(m)[0]), 0x3fcc8c17e0c3349cull);
}

// The fused pass gives the bits of the spread on its own and of the sums
// down each column in row order, at widths that fill a block of columns,
// leave an overlapping last group, or are narrower than a vector.
TEST(WeightColumns, OnePassGivesTheBitsOfSeparateOnes) {
    std::mt19937_64 rng(9);
    std::normal_distribution<double> normal;
    for (std::size_t t : {1u, 3u, 4u, 7u, 16u, 21u}) {
        const std::size_t n = 37;
        Matrix w(n, t);
        Vector y(n);
        for (std::size_t i = 0; i < n; ++i) {
            y[i] = normal(rng);
            for (std::size_t c = 0; c < t; ++c) w(i, c) = (i + c) % 11 == 0 ? NaN : normal(rng);
        }
        Vector sums(t, 0.0), with_y(t, 0.0);
        for (std::size_t c = 0; c < t; ++c) {
            for (std::size_t i = 0; i < n; ++i) {
                sums[c] += w(i, c);
                with_y[c] += w(i, c) * y[i];
            }
        }
        const fit::WeightColumnPasses both = fit::weight_column_passes(w.view(), y.view());
        EXPECT_TRUE(same_bits(both.concentration, fit::weights_concentration_from_matrix(w.view()))) << t;
        EXPECT_TRUE(same_bits(both.column_sums, sums)) << t;
        EXPECT_TRUE(same_bits(both.weighted_outcomes, with_y)) << t;
        const fit::WeightColumnPasses plain = fit::weight_column_sums(w.view(), y.view());
        EXPECT_TRUE(plain.concentration.empty()) << t;
        EXPECT_TRUE(same_bits(plain.column_sums, sums)) << t;
        EXPECT_TRUE(same_bits(plain.weighted_outcomes, with_y)) << t;
    }
}

}  // namespace

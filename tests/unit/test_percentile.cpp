// Percentile ranks and values under both algorithms, and the sort beneath them.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/matrix/order_statistics.hpp"
#include "toolbox/matrix/sorting.hpp"
#include "toolbox/stats/percentile.hpp"

namespace {

using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;
using toolbox::matrix::VecView;
namespace pct = toolbox::stats::percentile;
using pct::PercentileValueAlgorithm;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// Runs percentile_value under one setting of the process-wide switch and puts
// the switch back.
Vector value_under(PercentileValueAlgorithm algorithm, VecView data, VecView percentiles) {
    const auto before = pct::percentile_value_algorithm();
    pct::set_percentile_value_algorithm(algorithm);
    Vector r = pct::percentile_value(data, percentiles);
    pct::set_percentile_value_algorithm(before);
    return r;
}

std::string fault_text(auto&& call) {
    try {
        call();
    } catch (const toolbox::Fault& f) {
        return f.text().value_or("<no text>");
    }
    return "<no fault>";
}

TEST(SortArray, DropsNaNAndKeepsEqualValuesInInputOrder) {
    const Vector s = toolbox::matrix::sorting::sort_array(Vector{3, kNaN, -1, 2});
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0], -1);
    EXPECT_EQ(s[1], 2);
    EXPECT_EQ(s[2], 3);

    // -0.0 and +0.0 compare equal: their order is the input's.
    const Vector z = toolbox::matrix::sorting::sort_array(Vector{0.0, 1.0, -0.0, -1.0});
    ASSERT_EQ(z.size(), 4u);
    EXPECT_TRUE(same_bits(z[1], 0.0));
    EXPECT_TRUE(same_bits(z[2], -0.0));

    // A column of a matrix is read in place.
    const Matrix m{{5, 0}, {kNaN, 0}, {4, 0}};
    const Vector c = toolbox::matrix::sorting::sort_array(m.col(0));
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0], 4);
    EXPECT_EQ(c[1], 5);
}

TEST(PercentileValue, CasesUnderBothAlgorithms) {
    struct Case {
        const char* name;
        Vector data;
        Vector percentiles;
        Vector expected;
    } cases[] = {
        {"interpolation", {1, 2, 3, 4}, {50}, {2.5}},
        {"ends", {4, kNaN, 1, 3, 2}, {0, 100}, {1, 4}},
        {"above 100 and +inf give the largest", {4, 1, 3, 2}, {150, kInf}, {4, 4}},
        {"negative, -inf and NaN give the smallest", {4, 1, 3, 2}, {-5, -kInf, kNaN}, {1, 1, 1}},
        {"a single value for every percentile", {kNaN, 7, kNaN}, {0, 33, 100, kInf, kNaN}, {7, 7, 7, 7, 7}},
        {"all NaN", {kNaN, kNaN}, {0, 50}, {kNaN, kNaN}},
        {"no queries", {1, 2}, {}, {}},
        {"repeated and unordered queries", {10, 0, 5, 20}, {75, 25, 75, 0}, {12.5, 3.75, 12.5, 0}},
    };
    for (auto algorithm : {PercentileValueAlgorithm::FullSort, PercentileValueAlgorithm::OrderStatistics}) {
        for (const auto& c : cases) {
            const Vector r = value_under(algorithm, c.data, c.percentiles);
            ASSERT_EQ(r.size(), c.expected.size()) << c.name;
            for (std::size_t q = 0; q < r.size(); ++q) {
                if (std::isnan(c.expected[q]))
                    EXPECT_TRUE(std::isnan(r[q])) << c.name << " query " << q;
                else
                    EXPECT_EQ(r[q], c.expected[q]) << c.name << " query " << q << " algorithm "
                                                   << int(algorithm);
            }
        }
    }
}

TEST(PercentileValue, InterpolationFormsBothProductsThenAdds) {
    // f * x[hi] + (1 - f) * x[lo], not x[lo] + f * (x[hi] - x[lo]).
    const Vector data{1.26, 0.43, 0.76};
    const double h = (10.0 / 100.0) * 2.0;
    const double f = h - 0.0;
    const double expected = f * 0.76 + (1.0 - f) * 0.43;
    ASSERT_NE(expected, 0.43 + f * (0.76 - 0.43));
    for (auto algorithm : {PercentileValueAlgorithm::FullSort, PercentileValueAlgorithm::OrderStatistics})
        EXPECT_TRUE(same_bits(value_under(algorithm, data, Vector{10})[0], expected));
}

TEST(PercentileValue, SwitchSelectsTheAlgorithm) {
    // Only the sign of a zero can tell the two apart: the selection orders
    // -0.0 before +0.0, the stable sort keeps the input's +0.0 first.
    const Vector data{0.0, -0.0};
    EXPECT_TRUE(same_bits(value_under(PercentileValueAlgorithm::FullSort, data, Vector{0})[0], 0.0));
    EXPECT_TRUE(same_bits(value_under(PercentileValueAlgorithm::OrderStatistics, data, Vector{0})[0], -0.0));
    // Any byte other than 1 is the full sort.
    const auto before = pct::PERCENTILE_VALUE_ALGORITHM.load();
    pct::PERCENTILE_VALUE_ALGORITHM.store(7);
    EXPECT_TRUE(same_bits(pct::percentile_value(data, Vector{0})[0], 0.0));
    pct::PERCENTILE_VALUE_ALGORITHM.store(before);
}

TEST(PercentileValue, AlgorithmsAgreeOnRandomData) {
    std::mt19937_64 rng(2024);
    std::normal_distribution<double> nd;
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_real_distribution<double> pd(-10.0, 110.0);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n = 1 + static_cast<std::size_t>(rng() % 300);
        Vector data = Vector::uninit(n);
        for (double& v : data) {
            switch (kind(rng)) {
                case 0: v = kNaN; break;
                case 1: v = 0.0; break;
                case 2: v = -0.0; break;
                case 3: v = std::round(nd(rng));  // ties
                    break;
                default: v = nd(rng);
            }
        }
        Vector ps = Vector::uninit(25);
        for (double& p : ps) p = pd(rng);
        ps[0] = 0;
        ps[1] = 100;
        ps[2] = 50;
        const Vector full = value_under(PercentileValueAlgorithm::FullSort, data, ps);
        const Vector stats = pct::percentile_value_order_statistics(data, ps);
        ASSERT_EQ(full.size(), stats.size());
        for (std::size_t q = 0; q < ps.size(); ++q) {
            if (std::isnan(full[q])) {
                ASSERT_TRUE(std::isnan(stats[q])) << "trial " << trial << " query " << q;
            } else {
                // Equal values; a zero may differ only in its sign.
                ASSERT_EQ(full[q], stats[q]) << "trial " << trial << " query " << q;
                if (full[q] != 0.0) {
                    ASSERT_TRUE(same_bits(full[q], stats[q]));
                }
            }
        }
    }
}

TEST(PercentileFromSorted, InterpolatesAndClamps) {
    const std::vector<double> four = {1, 2, 3, 4};
    struct Case {
        double p;
        double expected;
    } cases[] = {
        {50, 2.5}, {0, 1}, {100, 4}, {25, 1.75}, {150, 4}, {-5, 1}, {kNaN, 1},
        {std::numeric_limits<double>::infinity(), 4}, {-std::numeric_limits<double>::infinity(), 1},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(pct::percentile_from_sorted(four, c.p), c.expected) << c.p;
    const std::vector<double> one = {7.5};
    EXPECT_EQ(pct::percentile_from_sorted(one, 33), 7.5);
}

TEST(PercentileRank, CountsBelowAndEqualOverTheFullLength) {
    const Vector data{1, 2, 2, kNaN};
    const Vector r = pct::percentile_rank(data, Vector{2, kNaN, 5, 0, 1});
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0], 50.0);  // ((2 * 0.5 + 1) / 4) * 100
    EXPECT_EQ(r[1], 0.0);   // NaN equals nothing and exceeds nothing
    EXPECT_EQ(r[2], 75.0);  // the NaN counts in the length only
    EXPECT_EQ(r[3], 0.0);
    EXPECT_EQ(r[4], 12.5);
    // -0.0 and +0.0 are equal.
    EXPECT_EQ(pct::percentile_rank(Vector{-0.0, 0.0, 1.0}, Vector{0.0})[0], ((2 * 0.5 + 0) / 3.0) * 100);
}

TEST(Percentile, EmptyInputsAreFaults) {
    const Vector empty;
    const Vector one{1.0};
    struct Case {
        const char* name;
        std::string text;
        std::string expected;
    } cases[] = {
        {"rank without queries", fault_text([&] { pct::percentile_rank(one, empty); }),
         "The supplied value array is empty."},
        {"rank checks queries first", fault_text([&] { pct::percentile_rank(empty, empty); }),
         "The supplied value array is empty."},
        {"rank without data", fault_text([&] { pct::percentile_rank(empty, one); }), "The supplied vector is empty"},
        {"value without data, full sort",
         fault_text([&] { value_under(PercentileValueAlgorithm::FullSort, empty, one); }), "Vector is empty"},
        {"value without data nor queries",
         fault_text([&] { value_under(PercentileValueAlgorithm::FullSort, empty, empty); }), "Vector is empty"},
        {"value without data, order statistics",
         fault_text([&] { value_under(PercentileValueAlgorithm::OrderStatistics, empty, one); }), "Vector is empty"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, c.expected) << c.name;
}

TEST(FloatTotalCmp, OrdersZerosInfinitiesAndNaN) {
    const double order[] = {-kNaN, -kInf, -1.0, -0.0, 0.0, 1e-310, 1.0, kInf, kNaN};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
        EXPECT_TRUE(pct::float_total_cmp(order[i], order[i + 1]) < 0) << i;
        EXPECT_TRUE(pct::float_total_cmp(order[i + 1], order[i]) > 0) << i;
        EXPECT_TRUE(pct::float_total_cmp(order[i], order[i]) == 0) << i;
    }
}

}  // namespace

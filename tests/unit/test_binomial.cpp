// Attribute combinations: coefficients, all subsets of given sizes, the
// seeded draw with its quotas, and sampling of a caller's list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "toolbox/matrix/array.hpp"
#include "toolbox/stats/binomial.hpp"

namespace {

namespace bn = toolbox::stats::binomial;
using toolbox::matrix::ByteMatrix;

std::vector<std::string> rows_of(const ByteMatrix& m) {
    std::vector<std::string> out;
    for (std::size_t r = 0; r < m.rows(); ++r) {
        std::string s;
        for (std::uint8_t v : m.row(r)) s += static_cast<char>('0' + v);
        out.push_back(s);
    }
    return out;
}

std::size_t ones(std::span<const std::uint8_t> row) {
    std::size_t s = 0;
    for (auto v : row) s += v;
    return s;
}

TEST(BinomialCoefficients, ExactWithZerosBelowTheMinimumSize) {
    EXPECT_EQ(bn::binomial_tree_coefficients(5, 0), (std::vector<std::uint32_t>{1, 5, 10, 10, 5, 1}));
    EXPECT_EQ(bn::binomial_tree_coefficients(5, 2), (std::vector<std::uint32_t>{0, 0, 10, 10, 5, 1}));
    EXPECT_EQ(bn::binomial_tree_coefficients(31, 0)[15], 300540195u);
    EXPECT_EQ(bn::binomial_tree_coefficients(0, 0), (std::vector<std::uint32_t>{1}));
}

TEST(BinaryCombinations, SizesInListOrderSubsetsLexicographic) {
    const std::vector<std::size_t> sizes{2, 0, 9};
    const auto c = bn::binary_combinations(4, std::span<const std::size_t>(sizes));
    EXPECT_EQ(c.count, 7u);
    EXPECT_EQ(rows_of(c.combos),
              (std::vector<std::string>{"1100", "1010", "1001", "0110", "0101", "0011", "0000"}));
    const auto d = bn::binary_combinations(3, std::nullopt);
    EXPECT_EQ(rows_of(d.combos), (std::vector<std::string>{"111", "110", "101", "011", "100", "010", "001"}));
    const auto none = bn::binary_combinations(3, std::span<const std::size_t>());
    EXPECT_EQ(none.count, 0u);
    EXPECT_EQ(none.combos.rows(), 0u);
    EXPECT_EQ(none.combos.cols(), 3u);
}

TEST(GenerateAttributeCombi, AllCombinationsWhenTheyFit) {
    struct Case {
        std::size_t n, max, min_size;
        std::vector<std::string> rows;
    } cases[] = {
        {3, 7, 1, {"100", "010", "001", "110", "101", "011", "111"}},
        {2, 4, 0, {"00", "10", "01", "11"}},
        {3, 100, 2, {"110", "101", "011", "111"}},
        {3, 100, 5, {}},
        {1, 0, 5, {"1"}},
        {1, 0, 0, {"1"}},
    };
    for (const auto& c : cases) {
        auto r = bn::generate_attribute_combi(c.n, c.max, c.min_size, 42);
        ASSERT_TRUE(r) << c.n << " " << c.max << " " << c.min_size;
        EXPECT_EQ(rows_of(r->combos), c.rows) << c.n << " " << c.max << " " << c.min_size;
        EXPECT_EQ(r->count, c.rows.size());
        if (c.n != 1) {
            EXPECT_EQ(r->combos.cols(), c.n);
        }
    }
    auto empty = bn::generate_attribute_combi(0, 10, 1, 1);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->count, 0u);
}

TEST(GenerateAttributeCombi, QuotasPerSizeFromTheirOwnSeeds) {
    const std::uint32_t seed = 42;
    // n = 4, min 1, max 10: total 15, budget 6, quotas 4, 2, 1, 1.
    auto r = bn::generate_attribute_combi(4, 10, 1, seed);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->count, 8u);
    const auto rows = rows_of(r->combos);
    EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + 4),
              (std::vector<std::string>{"1000", "0100", "0010", "0001"}));
    EXPECT_EQ(rows_of(bn::generate_random_indicator(2, 4, 2, seed + 1)),
              std::vector<std::string>(rows.begin() + 4, rows.begin() + 6));
    EXPECT_EQ(rows_of(bn::generate_random_indicator(1, 4, 3, seed + 2))[0], rows[6]);
    EXPECT_EQ(rows[7], "1111");

    // n = 5, min 2, max 20: total 26, quotas 0, 7, 7, 3, 1.
    auto s = bn::generate_attribute_combi(5, 20, 2, seed);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->count, 18u);
    const auto srows = rows_of(s->combos);
    EXPECT_EQ(rows_of(bn::generate_random_indicator(7, 5, 2, seed + 1)),
              std::vector<std::string>(srows.begin(), srows.begin() + 7));
    EXPECT_EQ(rows_of(bn::generate_random_indicator(7, 5, 3, seed + 2)),
              std::vector<std::string>(srows.begin() + 7, srows.begin() + 14));
    EXPECT_EQ(rows_of(bn::generate_random_indicator(3, 5, 4, seed + 3)),
              std::vector<std::string>(srows.begin() + 14, srows.begin() + 17));
    EXPECT_EQ(srows[17], "11111");

    // Size 0 is the first entry with min 0, so size s draws from seed + s.
    auto z = bn::generate_attribute_combi(5, 20, 0, seed);
    ASSERT_TRUE(z);
    const auto zrows = rows_of(z->combos);
    EXPECT_EQ(std::vector<std::string>(zrows.begin(), zrows.begin() + 5),
              (std::vector<std::string>{"10000", "01000", "00100", "00010", "00001"}));
    // quotas over sizes 0..5 with total 32, budget 15: 5 (forced), 2, 4, 4, 2, 1
    const auto two = rows_of(bn::generate_random_indicator(4, 5, 2, seed + 2));
    bool found = false;
    for (std::size_t i = 0; i + two.size() <= zrows.size(); ++i) {
        if (std::vector<std::string>(zrows.begin() + i, zrows.begin() + i + two.size()) == two) found = true;
    }
    EXPECT_TRUE(found);
}

TEST(GenerateAttributeCombi, ReproducibleAndSeedChangesOnlyRandomRows) {
    auto a = bn::generate_attribute_combi(8, 40, 1, 9);
    auto b = bn::generate_attribute_combi(8, 40, 1, 9);
    auto c = bn::generate_attribute_combi(8, 40, 1, 10);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(rows_of(a->combos), rows_of(b->combos));
    const auto ra = rows_of(a->combos), rc = rows_of(c->combos);
    ASSERT_EQ(ra.size(), rc.size());
    EXPECT_EQ(std::vector<std::string>(ra.begin(), ra.begin() + 8), std::vector<std::string>(rc.begin(), rc.begin() + 8));
    EXPECT_EQ(ra.back(), rc.back());
    EXPECT_NE(ra, rc);
    for (std::size_t r = 0; r < a->combos.rows(); ++r) EXPECT_GE(ones(a->combos.row(r)), 1u);
}

TEST(GenerateAttributeCombi, BudgetTooSmallForTheFixedRowsFails) {
    struct Case {
        std::size_t n, max, min_size;
    } cases[] = {{5, 5, 1}, {5, 3, 0}, {5, 0, 2}, {4, 4, 1}};
    for (const auto& c : cases) {
        auto r = bn::generate_attribute_combi(c.n, c.max, c.min_size, 1);
        ASSERT_FALSE(r) << c.n << " " << c.max << " " << c.min_size;
        EXPECT_NE(r.error().message.find("max_iter"), std::string::npos);
    }
    // Wide data: the exact counts overflow 32 bits, the draw still works.
    auto wide = bn::generate_attribute_combi(40, 100, 1, 3);
    ASSERT_TRUE(wide);
    EXPECT_LE(wide->count, 100u);
    EXPECT_EQ(wide->combos.rows(), wide->count);
}

// From about 1030 attributes the counts of the middle sizes overflow double
// precision; the draw must still size its quotas by proportion.
TEST(GenerateAttributeCombi, CountsBeyondDoublePrecisionStillGiveQuotas) {
    struct Case {
        std::size_t n, max, min_size;
    } cases[] = {{1100, 3000, 1}, {1500, 2000, 0}, {3000, 40, 2500}};
    for (const auto& c : cases) {
        auto r = bn::generate_attribute_combi(c.n, c.max, c.min_size, 5);
        ASSERT_TRUE(r) << c.n << ": " << r.error().message;
        EXPECT_EQ(r->combos.rows(), r->count);
        EXPECT_LE(r->count, c.max);
        const std::size_t singles = c.min_size <= 1 ? c.n : 0;
        // More than the fixed rows: the middle sizes got their share.
        EXPECT_GT(r->count, singles + 1) << c.n;
        for (std::size_t i = 0; i < singles; ++i) EXPECT_EQ(r->combos(i, i), 1) << i;
        EXPECT_EQ(ones(r->combos.row(r->count - 1)), c.n);
        for (std::size_t i = singles; i + 1 < r->count; ++i) {
            const std::size_t k = ones(r->combos.row(i));
            EXPECT_GE(k, std::max<std::size_t>(c.min_size, 1));
            EXPECT_LT(k, c.n);
        }
    }
}

TEST(RandomIndicator, RowsHaveExactlyKOnes) {
    const auto m = bn::generate_random_indicator(50, 7, 3, 123);
    for (std::size_t r = 0; r < m.rows(); ++r) EXPECT_EQ(ones(m.row(r)), 3u);
    const auto z = bn::generate_random_indicator(3, 4, 0, 1);
    for (std::size_t r = 0; r < z.rows(); ++r) EXPECT_EQ(ones(z.row(r)), 0u);
}

TEST(SampleAttributeCombi, FilterThenKeepOrSample) {
    ByteMatrix list{{1, 0, 0}, {1, 1, 0}, {0, 1, 1}, {1, 1, 1}, {0, 0, 1}};
    const auto all = bn::sample_attribute_combi(list.view(), 10, 1).value();
    EXPECT_EQ(all.count, 5u);
    EXPECT_EQ(rows_of(all.combos), rows_of(list));
    const auto two = bn::sample_attribute_combi(list.view(), 10, 2).value();
    EXPECT_EQ(rows_of(two.combos), (std::vector<std::string>{"110", "011", "111"}));
    const auto none = bn::sample_attribute_combi(list.view(), 10, 4).value();
    EXPECT_EQ(none.count, 0u);
    EXPECT_EQ(none.combos.cols(), 3u);
    const auto some = bn::sample_attribute_combi(list.view(), 2, 2).value();
    EXPECT_EQ(some.count, 2u);
    const auto kept = rows_of(two.combos);
    const auto got = rows_of(some.combos);
    EXPECT_NE(got[0], got[1]);
    for (const auto& r : got) EXPECT_NE(std::find(kept.begin(), kept.end(), r), kept.end());
    const auto empty = bn::sample_attribute_combi(ByteMatrix(0, 3).view(), 2, 1).value();
    EXPECT_EQ(empty.count, 0u);
    EXPECT_EQ(empty.combos.cols(), 0u);
}

}  // namespace

// The stable sort of NaN-free values gives the one sequence that any stable
// sort by `<` gives, including the order of equal values such as -0.0 and +0.0.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "toolbox/matrix/order_statistics.hpp"
#include "toolbox/matrix/sorting.hpp"

namespace {

using toolbox::matrix::sorting::stable_sort_finite_order;
using toolbox::matrix::sorting::stable_sort_nan_equal;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> reference(std::vector<double> v) {
    std::stable_sort(v.begin(), v.end(), [](double a, double b) { return a < b; });
    return v;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(StableSortFiniteOrder, MatchesALibraryStableSortBitForBit) {
    const double inf = std::numeric_limits<double>::infinity();
    const double tiny = std::numeric_limits<double>::denorm_min();
    struct Case {
        const char* name;
        std::size_t n;
        int kind;
    } cases[] = {
        {"small, below the radix path", 100, 0}, {"normal values", 5000, 0},   {"many ties and signed zeros", 20000, 1},
        {"one value repeated", 9000, 2},         {"wide magnitudes", 30000, 3}, {"already sorted", 8192, 4},
    };
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> pick(0, 7);
    for (const auto& c : cases) {
        std::vector<double> v(c.n);
        for (std::size_t i = 0; i < c.n; ++i) {
            switch (c.kind) {
                case 0: v[i] = normal(rng); break;
                case 1: {
                    const double choices[] = {0.0, -0.0, 1.0, -1.0, 0.5, -0.0, tiny, -tiny};
                    v[i] = choices[pick(rng)];
                    break;
                }
                case 2: v[i] = 3.25; break;
                case 3: v[i] = std::ldexp(normal(rng), static_cast<int>(pick(rng)) * 120 - 420); break;
                case 4: v[i] = static_cast<double>(i); break;
            }
        }
        if (c.kind == 3) {
            v[0] = inf;
            v[1] = -inf;
            v[2] = std::numeric_limits<double>::max();
            v[3] = -std::numeric_limits<double>::max();
        }
        std::vector<double> got = v;
        stable_sort_finite_order(got);
        EXPECT_TRUE(same_bits(got, reference(v))) << c.name;
    }
}

// Selection gives, at every place asked for, the element that the full sort
// holds there, bit for bit: under the stable order (zeros of either sign in
// their input order) and under the total order of bit patterns. NaN is left
// out; the samples hold ties, signed zeros, infinities and one value
// repeated throughout, so that a whole sample lands in one bucket; the small
// samples are selected from directly, the large one through its buckets.
TEST(SelectNonNaN, EveryPlaceHoldsTheSortedElement) {
    using toolbox::matrix::sorting::Order;
    using toolbox::matrix::sorting::select_non_nan;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> pick(0, 9);
    for (int kind = 0; kind < 4; ++kind) {
        for (std::size_t n : {1u, 2u, 7u, 1000u, 1003u, 50000u}) {
            std::vector<double> v(n);
            for (std::size_t i = 0; i < n; ++i) {
                const double choices[] = {0.0, -0.0, 1.0, -1.0, nan, -0.0, inf, -inf, 2.5, 0.0};
                switch (kind) {
                    case 0: v[i] = normal(rng); break;
                    case 1: v[i] = choices[pick(rng)]; break;
                    case 2: v[i] = 7.0; break;
                    default: v[i] = pick(rng) < 2 ? nan : std::ldexp(normal(rng), pick(rng) * 100 - 500); break;
                }
            }
            std::vector<double> finite;
            for (double x : v)
                if (!std::isnan(x)) finite.push_back(x);
            std::vector<double> total = finite;
            std::sort(total.begin(), total.end(), [](double a, double b) {
                std::int64_t ia, ib;
                std::memcpy(&ia, &a, 8);
                std::memcpy(&ib, &b, 8);
                ia ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(ia >> 63) >> 1);
                ib ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(ib >> 63) >> 1);
                return ia < ib;
            });
            const std::vector<double> stable = reference(finite);
            std::vector<std::size_t> places;
            for (std::size_t p = 0; p < finite.size(); p += 1 + finite.size() / 40) places.push_back(p);
            if (!finite.empty()) places.push_back(finite.size() - 1);
            // Asked in no order, some twice: each selection works within what
            // the one before left, whatever order the places come in.
            const std::size_t distinct = places.size();
            for (std::size_t q = 0; q < distinct; q += 3) places.push_back(places[q]);
            std::shuffle(places.begin(), places.end(), rng);
            const toolbox::matrix::VecView data(v.data(), v.size());
            std::vector<double> got(places.size());
            EXPECT_EQ(select_non_nan(data, Order::Stable, places, got), finite.size());
            for (std::size_t q = 0; q < places.size(); ++q)
                EXPECT_TRUE(same_bits({got[q]}, {stable[places[q]]})) << kind << " n=" << n << " at " << places[q];
            select_non_nan(data, Order::Total, places, got);
            for (std::size_t q = 0; q < places.size(); ++q)
                EXPECT_TRUE(same_bits({got[q]}, {total[places[q]]})) << kind << " n=" << n << " at " << places[q];
        }
    }
}

// One sample read twice: the second selection, near the first one's places
// (their buckets already gathered) and away from them, still finds the
// sorted elements, although the first has reordered what it gathered.
TEST(SelectNonNaN, ASecondSelectionFromTheSameSampleReadsTheSortedElements) {
    using toolbox::matrix::sorting::Order;
    using toolbox::matrix::sorting::OrderStatistics;
    std::mt19937_64 rng(3);
    std::normal_distribution<double> normal;
    for (std::size_t n : {2000u, 60000u}) {
        std::vector<double> v(n);
        for (double& x : v) x = normal(rng);
        const std::vector<double> sorted = reference(v);
        OrderStatistics stats(toolbox::matrix::VecView(v.data(), n), Order::Stable);
        const std::vector<std::size_t> first{n / 4, n / 4 + 1, 3 * n / 4};
        const std::vector<std::size_t> second{n / 4 + 7, n / 4 - 3, 3 * n / 4 + 1, 0, n - 1, n / 2};
        for (const auto& places : {first, second}) {
            std::vector<double> got(places.size());
            stats.select(places, got);
            for (std::size_t q = 0; q < places.size(); ++q)
                EXPECT_TRUE(same_bits({got[q]}, {sorted[places[q]]})) << "n=" << n << " at " << places[q];
        }
    }
}

// NaN counts as equal to everything: the merge never moves a value past it,
// and without NaN the result is that of any stable sort.
TEST(StableSortNanEqual, MatchesTheLibrarySortWithoutNaNAndIsStable) {
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<int> small(-5, 5);
    for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u}) {
        std::vector<double> v(n);
        for (auto& x : v) x = small(rng) == 0 ? (small(rng) > 0 ? 0.0 : -0.0) : small(rng);
        std::vector<double> want = v;
        std::stable_sort(want.begin(), want.end());
        stable_sort_nan_equal(v);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(v[i], want[i]) << i;
            EXPECT_EQ(std::signbit(v[i]), std::signbit(want[i])) << i;
        }
    }
}

TEST(StableSortNanEqual, NaNNeverMovesPastAnything) {
    std::vector<double> v = {3, kNaN, 1, 1, 1, 1};
    stable_sort_nan_equal(v);
    const double want[] = {1, 1, 1, 1, 3};
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(v[i], want[i]) << i;
    EXPECT_TRUE(std::isnan(v[5]));
}

}  // namespace

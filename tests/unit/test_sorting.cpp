// The stable sort of NaN-free values gives the one sequence that any stable
// sort by `<` gives, including the order of equal values such as -0.0 and +0.0.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "toolbox/matrix/sorting.hpp"

namespace {

using toolbox::matrix::sorting::stable_sort_finite_order;

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

}  // namespace

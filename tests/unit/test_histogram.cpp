// The counts of the histograms: half-open bins, the last edge counted in the
// last bin, and the bin a search finds equal to the first-match scan's.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "toolbox/stats/histogram.hpp"

namespace {

using toolbox::matrix::Vector;
using toolbox::stats::histogram::weighted_histogram_counts;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(WeightedHistogramCounts, BinsAreHalfOpenAndTheLastEdgeCounts) {
    const std::vector<double> edges = {0, 1, 2, 4};
    struct Case {
        const char* name;
        std::vector<double> values, weights, expected;
    } cases[] = {
        {"inner values", {0.0, 0.5, 1.0, 3.9}, {1, 2, 4, 8}, {3, 4, 8}},
        {"last edge into the last bin", {4.0}, {5}, {0, 0, 5}},
        {"outside dropped", {-0.1, 4.1}, {1, 1}, {0, 0, 0}},
        {"NaN value or weight skipped", {kNaN, 1.5, 0.5}, {1, kNaN, 2}, {2, 0, 0}},
        {"extra values without weights ignored", {0.5, 0.5, 0.5}, {1, 1}, {2, 0, 0}},
    };
    for (const auto& c : cases) {
        const Vector counts = weighted_histogram_counts(c.values, c.weights, edges);
        ASSERT_EQ(counts.size(), 3u) << c.name;
        for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(counts[j], c.expected[j]) << c.name << " bin " << j;
    }
    const std::vector<double> one_edge = {1.0}, none;
    const std::vector<double> v = {1.0}, w = {1.0};
    EXPECT_EQ(weighted_histogram_counts(v, w, one_edge).size(), 0u);
    EXPECT_EQ(weighted_histogram_counts(v, w, none).size(), 0u);
}

// The bin a binary search finds is the bin of the first-match scan, also for
// repeated edges and for edges that are not ascending.
TEST(WeightedHistogramCounts, AgreesWithTheFirstMatchScan) {
    auto scan = [](const std::vector<double>& values, const std::vector<double>& edges) {
        std::vector<double> counts(edges.size() - 1, 0.0);
        for (double v : values) {
            if (std::isnan(v)) continue;
            if (v == edges.back()) {
                counts.back() += 1.0;
                continue;
            }
            for (std::size_t j = 0; j + 1 < edges.size(); ++j) {
                if (edges[j] <= v && v < edges[j + 1]) {
                    counts[j] += 1.0;
                    break;
                }
            }
        }
        return counts;
    };
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> unif(-1.0, 11.0);
    std::vector<double> values(500);
    for (auto& v : values) v = std::round(unif(rng) * 4.0) / 4.0;  // many values on edges
    values[10] = kNaN;
    const std::vector<double> ones(values.size(), 1.0);
    const std::vector<std::vector<double>> edge_sets = {
        {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
        {0, 2.5, 2.5, 2.5, 5, 10},
        {kNaN, kNaN, kNaN, 10},
        {0, 5, 3, 10},
    };
    for (const auto& edges : edge_sets) {
        const Vector got = weighted_histogram_counts(values, ones, edges);
        const auto want = scan(values, edges);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t j = 0; j < want.size(); ++j) EXPECT_EQ(got[j], want[j]) << j;
    }
}

}  // namespace

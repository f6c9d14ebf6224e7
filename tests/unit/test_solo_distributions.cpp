// Solo predictions, solo weights, their moments and the y-solo histogram.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "toolbox/matrix/sorting.hpp"
#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"
#include "toolbox/stats/histogram.hpp"

namespace {

using namespace toolbox::qel::insights::solo_distributions;
using toolbox::matrix::sorting::stable_sort_nan_equal;
using toolbox::stats::histogram::auto_bin_edges;
using toolbox::stats::histogram::weighted_histogram_counts;
using toolbox::matrix::BoolMatrix;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Vector vec(std::vector<double> v) { return Vector::from(std::span<const double>(v)); }

BoolMatrix all_true(std::size_t n, std::size_t t) { return BoolMatrix(n, t, true); }

// ---- compute_solo_distribution ----

TEST(SoloDistribution, ShapeChecksInOrder) {
    const Vector y3 = vec({1, 2, 3});
    struct Case {
        const char* name;
        Vector y, r, theta;
        BoolMatrix include;
        std::string message;
    } cases[] = {
        {"relevance length", y3, vec({1, 2}), vec({1}), all_true(3, 1),
         "y and relevance_scores must have the same number of observations (N)"},
        {"relevance before include", y3, vec({1, 2}), vec({1, 2}), all_true(2, 1),
         "y and relevance_scores must have the same number of observations (N)"},
        {"include rows", y3, vec({1, 2, 3}), vec({1}), all_true(2, 1),
         "y and include must have the same number of observations (N)"},
        {"info_theta length", y3, vec({1, 2, 3}), vec({1, 2}), all_true(3, 1),
         "info_theta must be a scalar or have the same number of observations as y (N)"},
        {"info_theta of 2 for N = 1", vec({1}), vec({1}), vec({1, 2}), all_true(1, 1),
         "info_theta must be a scalar or have the same number of observations as y (N)"},
        {"empty y", Vector(), Vector(), vec({1}), all_true(0, 2), "Cannot compute mean of y"},
    };
    for (const auto& c : cases) {
        auto r = compute_solo_distribution(c.y, c.r, c.include, c.theta);
        ASSERT_FALSE(r.has_value()) << c.name;
        EXPECT_EQ(r.error().message, c.message) << c.name;
    }
}

TEST(SoloDistribution, SoloPredictionsScaleTheDeviationByThetaOverRelevance) {
    // ybar = 4; y_solo = 4 + (th / r) * (y - 4).
    const Vector y = vec({2, 4, 6});
    const Vector r = vec({0.5, 2.0, -1.0});
    auto scalar = compute_solo_distribution(y, r, all_true(3, 1), vec({1.0}));
    ASSERT_TRUE(scalar.has_value());
    EXPECT_DOUBLE_EQ(scalar->y_solo[0], 4.0 + 2.0 * -2.0);
    EXPECT_DOUBLE_EQ(scalar->y_solo[1], 4.0);
    EXPECT_DOUBLE_EQ(scalar->y_solo[2], 4.0 + -1.0 * 2.0);

    auto per_obs = compute_solo_distribution(y, r, all_true(3, 1), vec({1.0, 3.0, 0.5}));
    ASSERT_TRUE(per_obs.has_value());
    EXPECT_DOUBLE_EQ(per_obs->y_solo[0], 4.0 + 2.0 * -2.0);
    EXPECT_DOUBLE_EQ(per_obs->y_solo[1], 4.0);
    EXPECT_DOUBLE_EQ(per_obs->y_solo[2], 4.0 + -0.5 * 2.0);
}

TEST(SoloDistribution, ZeroRelevanceSitsAtTheMeanWithNoWeight) {
    const Vector y = vec({1, 5, 3});
    const Vector r = vec({1.0, 0.0, 2.0});
    auto out = compute_solo_distribution(y, r, all_true(3, 2), vec({1.0}));
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->y_solo[1], 3.0);
    EXPECT_EQ(out->xi_solo(1, 0), 0.0);
    EXPECT_EQ(out->xi_solo(1, 1), 0.0);

    // A relevance just below the tolerance is replaced; exactly 1e-8 divides.
    const Vector r2 = vec({9.99e-9, 1e-8, 1.0});
    auto tiny = compute_solo_distribution(y, r2, all_true(3, 1), vec({1e-8}));
    ASSERT_TRUE(tiny.has_value());
    EXPECT_EQ(tiny->y_solo[0], 3.0);
    EXPECT_EQ(tiny->y_solo[1], 1.0 * (5.0 - 3.0) + 3.0);
}

TEST(SoloDistribution, WeightsNormalisePerThresholdOverTheRetained) {
    const Vector y = vec({1, 2, 3, 4});
    const Vector r = vec({1.0, 2.0, kNaN, 3.0});
    BoolMatrix include(4, 3);
    // Column 0 retains rows 0, 1; column 1 retains nobody; column 2 the NaN row.
    include(0, 0) = include(1, 0) = true;
    include(2, 2) = include(3, 2) = true;
    auto out = compute_solo_distribution(y, r, include, vec({1.0}));
    ASSERT_TRUE(out.has_value());
    const Matrix& xi = out->xi_solo;
    EXPECT_DOUBLE_EQ(xi(0, 0), 1.0 / 5.0);
    EXPECT_DOUBLE_EQ(xi(1, 0), 4.0 / 5.0);
    EXPECT_EQ(xi(2, 0), 0.0);  // excluded: adds 0 to the normaliser although NaN
    EXPECT_EQ(xi(3, 0), 0.0);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(xi(i, 1), 0.0);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_TRUE(std::isnan(xi(i, 2))) << i;
    EXPECT_TRUE(std::isnan(out->y_solo[2]));
}

TEST(SoloDistribution, WeightsOfEveryColumnWithAPositiveNormaliserSumToOne) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    std::bernoulli_distribution coin(0.6);
    const std::size_t n = 200, t = 9;
    Vector y = Vector::uninit(n), r = Vector::uninit(n);
    BoolMatrix include(n, t);
    for (std::size_t i = 0; i < n; ++i) {
        y[i] = normal(rng);
        r[i] = normal(rng);
        for (std::size_t k = 0; k < t; ++k) include(i, k) = k == 0 ? false : coin(rng);
    }
    auto out = compute_solo_distribution(y, r, include, vec({0.7}));
    ASSERT_TRUE(out.has_value());
    for (std::size_t k = 0; k < t; ++k) {
        double d = 0.0, s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (include(i, k)) d += r[i] * r[i];
            s += out->xi_solo(i, k);
            EXPECT_GE(out->xi_solo(i, k), 0.0);
        }
        if (d > 1e-8) {
            EXPECT_NEAR(s, 1.0, 1e-12) << k;
        } else {
            EXPECT_EQ(s, 0.0) << k;
        }
    }
}

// ---- compute_solo_statistics ----

TEST(SoloStatistics, ShapeChecksInOrder) {
    const Matrix xi(3, 2, 0.5);
    auto rows = compute_solo_statistics(vec({1, 2}), xi, vec({1}));
    ASSERT_FALSE(rows.has_value());
    EXPECT_EQ(rows.error().message, "y_solo and xi_solo must have the same number of observations (N)");
    auto cols = compute_solo_statistics(vec({1, 2, 3}), xi, vec({1}));
    ASSERT_FALSE(cols.has_value());
    EXPECT_EQ(cols.error().message, "yhat must have the same number of elements as thresholds (T)");
}

TEST(SoloStatistics, MomentsAroundEachThresholdsPrediction) {
    const Vector y_solo = vec({1, 2, 3, 7});
    // Column 0: equal weights on 1, 2, 3 around 2. Column 1: nothing retained.
    // Column 2: all mass on values equal to yhat. Column 3: skewed sample.
    const Matrix xi = {{1.0 / 3, 0, 0, 0.25}, {1.0 / 3, 0, 0, 0.25}, {1.0 / 3, 0, 0, 0.25}, {0, 0, 1.0, 0.25}};
    auto s = compute_solo_statistics(y_solo, xi, vec({2, 5, 7, 3.25}));
    ASSERT_TRUE(s.has_value());
    const double m2 = (1.0 / 3) * 1 + (1.0 / 3) * 0 + (1.0 / 3) * 1;
    EXPECT_DOUBLE_EQ(s->sigma[0], std::sqrt(m2 / 1.0));
    EXPECT_NEAR(s->skewness[0], 0.0, 1e-15);
    EXPECT_NEAR(s->kurtosis[0], (2.0 / 3) / (m2 * m2), 1e-12);  // 3 is not subtracted

    EXPECT_EQ(s->sigma[1], 0.0);
    EXPECT_TRUE(std::isnan(s->skewness[1]));
    EXPECT_TRUE(std::isnan(s->kurtosis[1]));

    EXPECT_EQ(s->sigma[2], 0.0);
    EXPECT_EQ(s->skewness[2], 0.0);
    EXPECT_EQ(s->kurtosis[2], 0.0);

    EXPECT_GT(s->skewness[3], 0.0);
}

TEST(SoloStatistics, AZeroWeightObservationWithAMissingAttributeAddsNothing) {
    // Row 2 has a missing attribute: NaN relevance, so NaN y_solo, and it is
    // in no mask, so its solo weight is 0 at every threshold. The statistics
    // must be finite and exactly those of the sample without that row.
    const Vector y = vec({1.0, 4.0, 2.5, 3.0, 8.0});
    const Vector r = vec({0.8, -1.1, kNaN, 0.4, 1.6});
    BoolMatrix include(5, 3);
    const bool keep[5][3] = {{1, 1, 0}, {1, 0, 1}, {0, 0, 0}, {1, 1, 1}, {1, 0, 1}};
    for (std::size_t i = 0; i < 5; ++i)
        for (std::size_t k = 0; k < 3; ++k) include(i, k) = keep[i][k];
    const Vector theta = vec({0.9});
    auto full = compute_solo_distribution(y, r, include, theta);
    ASSERT_TRUE(full.has_value());
    ASSERT_TRUE(std::isnan(full->y_solo[2]));
    const Vector yhat = vec({2.0, 1.5, 4.0});
    auto with_row = compute_solo_statistics(full->y_solo, full->xi_solo, yhat);
    ASSERT_TRUE(with_row.has_value());

    // The same sample without row 2's contribution.
    Vector ys4 = Vector::uninit(4);
    Matrix xi4 = Matrix::uninit(4, 3);
    for (std::size_t i = 0, o = 0; i < 5; ++i) {
        if (i == 2) continue;
        ys4[o] = full->y_solo[i];
        for (std::size_t k = 0; k < 3; ++k) xi4(o, k) = full->xi_solo(i, k);
        ++o;
    }
    auto without = compute_solo_statistics(ys4, xi4, yhat);
    ASSERT_TRUE(without.has_value());
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_TRUE(std::isfinite(with_row->sigma[k])) << k;
        EXPECT_TRUE(std::isfinite(with_row->skewness[k])) << k;
        EXPECT_TRUE(std::isfinite(with_row->kurtosis[k])) << k;
        EXPECT_EQ(with_row->sigma[k], without->sigma[k]) << k;
        EXPECT_EQ(with_row->skewness[k], without->skewness[k]) << k;
        EXPECT_EQ(with_row->kurtosis[k], without->kurtosis[k]) << k;
    }
}

TEST(SoloStatistics, ANaNWeightStillPropagates) {
    const Matrix xi = {{0.5}, {kNaN}, {0.5}};
    auto s = compute_solo_statistics(vec({1, 2, 3}), xi, vec({2}));
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->sigma[0], 0.0);  // sw is NaN: not positive
    EXPECT_TRUE(std::isnan(s->skewness[0]));
    EXPECT_TRUE(std::isnan(s->kurtosis[0]));
}

// ---- compute_ysolo_distribution ----

TEST(YSoloDistribution, OneToEightWithoutWeights) {
    auto out = compute_ysolo_distribution(vec({8, 1, 2, 3, 4, 5, 6, 7}), std::nullopt, 5.0);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->kept_values.size(), 8u);
    EXPECT_FALSE(out->kept_weights.has_value());
    const double edges[] = {1, 2.75, 4.5, 6.25, 8};
    ASSERT_EQ(out->summary.bin_edges.size(), 5u);
    for (std::size_t j = 0; j < 5; ++j) EXPECT_DOUBLE_EQ(out->summary.bin_edges[j], edges[j]) << j;
    ASSERT_EQ(out->summary.bin_counts.rows(), 4u);
    ASSERT_EQ(out->summary.bin_counts.cols(), 1u);
    for (std::size_t j = 0; j < 4; ++j) {
        EXPECT_EQ(out->summary.bin_counts(j, 0), 2.0) << j;
        EXPECT_DOUBLE_EQ(out->summary.bin_centers[j], (edges[j] + edges[j + 1]) * 0.5);
        EXPECT_DOUBLE_EQ(out->summary.bin_widths[j], edges[j + 1] - edges[j]);
    }
}

TEST(YSoloDistribution, EqualValuesGiveOneUnitBin) {
    struct Case {
        const char* name;
        Vector y;
    } cases[] = {{"four equal", vec({2.5, 2.5, 2.5, 2.5})}, {"single", vec({2.5})}};
    for (const auto& c : cases) {
        const std::size_t n = c.y.size();
        Matrix xi(n, 2);
        for (std::size_t i = 0; i < n; ++i) xi(i, 0) = 0.5;  // column 1 sums to 0
        auto plain = compute_ysolo_distribution(c.y, std::nullopt, 5.0);
        auto weighted = compute_ysolo_distribution(c.y, xi.view(), 5.0);
        ASSERT_TRUE(plain.has_value() && weighted.has_value()) << c.name;
        ASSERT_EQ(plain->summary.bin_edges.size(), 2u) << c.name;
        EXPECT_EQ(plain->summary.bin_edges[0], 2.0);
        EXPECT_EQ(plain->summary.bin_edges[1], 3.0);
        EXPECT_EQ(plain->summary.bin_centers[0], 2.5);
        EXPECT_EQ(plain->summary.bin_widths[0], 1.0);
        EXPECT_EQ(plain->summary.bin_counts(0, 0), static_cast<double>(n)) << c.name;
        EXPECT_DOUBLE_EQ(weighted->summary.bin_counts(0, 0), 1.0) << c.name;
        EXPECT_EQ(weighted->summary.bin_counts(0, 1), 0.0) << c.name;  // a zero column stays zero
    }
}

TEST(YSoloDistribution, AFarOutlierIsDroppedWithItsWeights) {
    const Vector y = vec({1, 2, 3, 4, 100});
    const Matrix xi = {{0.1, 0.2}, {0.1, 0.2}, {0.1, 0.2}, {0.2, 0.2}, {0.5, 0.2}};
    auto out = compute_ysolo_distribution(y, xi.view(), 5.0);
    ASSERT_TRUE(out.has_value());
    ASSERT_EQ(out->kept_values.size(), 4u);
    EXPECT_EQ(out->kept_values[3], 4.0);
    ASSERT_TRUE(out->kept_weights.has_value());
    const Matrix& w = *out->kept_weights;
    ASSERT_EQ(w.rows(), 4u);
    EXPECT_DOUBLE_EQ(w(0, 0), 0.2);
    EXPECT_DOUBLE_EQ(w(3, 0), 0.4);
    EXPECT_DOUBLE_EQ(w(0, 1), 0.25);
    for (std::size_t c = 0; c < 2; ++c) {
        double s = 0.0;
        for (std::size_t j = 0; j < out->summary.bin_counts.rows(); ++j) s += out->summary.bin_counts(j, c);
        EXPECT_NEAR(s, 1.0, 1e-12) << c;
    }
    EXPECT_EQ(out->summary.bin_edges[out->summary.bin_edges.size() - 1], 4.0);
}

TEST(YSoloDistribution, BinsNeverExceedTheKeptValues) {
    // q25 = 0, q75 = 1, nothing dropped; the width rule asks for 11 bins.
    auto out = compute_ysolo_distribution(vec({-5, 0, 0, 0, 1, 1, 1, 6}), std::nullopt, 5.0);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->summary.bin_centers.size(), 8u);
    EXPECT_EQ(out->summary.bin_edges[0], -5.0);
    EXPECT_EQ(out->summary.bin_edges[8], 6.0);
}

TEST(YSoloDistribution, EmptyInputsFailInOrder) {
    auto plain = compute_ysolo_distribution(Vector(), std::nullopt, 5.0);
    ASSERT_FALSE(plain.has_value());
    EXPECT_EQ(plain.error().message, "Cannot compute histogram bins for empty sample");
    const Matrix none(0, 2), three(3, 2);
    auto zero_rows = compute_ysolo_distribution(Vector(), none.view(), 5.0);
    ASSERT_FALSE(zero_rows.has_value());
    EXPECT_EQ(zero_rows.error().message, "Cannot compute histogram bins for empty sample");
    auto three_rows = compute_ysolo_distribution(Vector(), three.view(), 5.0);
    ASSERT_FALSE(three_rows.has_value());
    EXPECT_EQ(three_rows.error().message, "xi_solo and ysolo must have the same number of rows (N)");
}

TEST(YSoloDistribution, NaNWithoutSpreadStaysInTheSampleAndIsNeverCounted) {
    // Interquartile range 0: every value is kept, NaN included, and the
    // sort must order them without undefined behaviour.
    auto flat = compute_ysolo_distribution(vec({2, kNaN, 2, 2, kNaN, 2}), std::nullopt, 5.0);
    ASSERT_TRUE(flat.has_value());
    EXPECT_EQ(flat->kept_values.size(), 6u);
    ASSERT_EQ(flat->summary.bin_edges.size(), 2u);
    EXPECT_EQ(flat->summary.bin_edges[0], 1.5);
    EXPECT_EQ(flat->summary.bin_edges[1], 2.5);
    EXPECT_EQ(flat->summary.bin_counts(0, 0), 4.0);

    // The NaN sorts last here, so the largest value is NaN and so are the
    // edges; nothing is counted, and the call still succeeds.
    auto mixed = compute_ysolo_distribution(vec({3, kNaN, 1, 1, 1, 1}), std::nullopt, 5.0);
    ASSERT_TRUE(mixed.has_value());
    EXPECT_EQ(mixed->kept_values.size(), 6u);
    ASSERT_EQ(mixed->summary.bin_edges.size(), 5u);  // sturges: ceil(log2 6) + 1
    for (std::size_t j = 0; j < 5; ++j) EXPECT_TRUE(std::isnan(mixed->summary.bin_edges[j])) << j;
    for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(mixed->summary.bin_counts(j, 0), 0.0) << j;
}

TEST(YSoloDistribution, NaNIsDroppedWhenThereIsSpread) {
    auto out = compute_ysolo_distribution(vec({1, kNaN, 2, 3, 4}), std::nullopt, 5.0);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->kept_values.size(), 4u);
    double total = 0.0;
    for (std::size_t j = 0; j < out->summary.bin_counts.rows(); ++j) total += out->summary.bin_counts(j, 0);
    EXPECT_EQ(total, 4.0);
}

// The summary is built without sorting the sample; it must hold the bits of
// the one built the direct way, from the kept copy sorted in full and counted
// column by column. Samples with ties, signed zeros at both ends, far
// outliers, NaN values and NaN or all-zero weight columns; the last ones
// large enough for the pool (selection through buckets, counts by blocks of
// rows, bins in ranges side by side).
TEST(YSoloDistribution, SummaryEqualsTheOneFromTheSortedKeptCopy) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> pick(0, 19);
    auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    for (int round = 0; round < 64; ++round) {
        const std::size_t n = round >= 60 ? 40'000 + 17'001 * static_cast<std::size_t>(round - 60)
                                          : 1 + static_cast<std::size_t>(pick(rng)) * (round % 3 == 0 ? 300 : 3);
        const std::size_t t = 1 + round % 7;
        Vector y(n);
        Matrix w(n, t);
        for (std::size_t i = 0; i < n; ++i) {
            const int p = pick(rng);
            y[i] = p < 2 ? 0.0 : p < 4 ? -0.0 : p == 4 && round % 2 ? kNaN : p == 5 ? 1e6 : p < 9 ? 1.0 : normal(rng);
            if (round % 5 == 1) y[i] = round % 10 == 1 ? 2.0 : (p < 3 ? kNaN : 2.0);
            for (std::size_t c = 0; c < t; ++c) {
                const int q = pick(rng);
                w(i, c) = c == 2 ? 0.0 : q == 0 && round % 4 == 2 ? kNaN : std::fabs(normal(rng));
            }
        }
        for (const bool weighted : {false, true}) {
            const std::optional<toolbox::matrix::MatView> weights =
                weighted ? std::optional<toolbox::matrix::MatView>(w.view()) : std::nullopt;
            auto got = compute_ysolo_summary(y, weights, 5.0);
            auto full = compute_ysolo_distribution(y, weights, 5.0);
            ASSERT_EQ(got.has_value(), full.has_value()) << round;
            if (!got) continue;
            Vector sorted = full->kept_values;
            stable_sort_nan_equal(sorted.span());
            const Vector edges = auto_bin_edges(sorted.span());
            ASSERT_EQ(got->bin_edges.size(), edges.size()) << round;
            for (std::size_t j = 0; j < edges.size(); ++j) EXPECT_TRUE(same(got->bin_edges[j], edges[j])) << round;
            const std::size_t cols = weighted ? t : 1;
            ASSERT_EQ(got->bin_counts.cols(), cols);
            for (std::size_t c = 0; c < cols; ++c) {
                Vector col(full->kept_values.size(), 1.0);
                if (weighted) {
                    for (std::size_t o = 0; o < col.size(); ++o) col[o] = (*full->kept_weights)(o, c);
                }
                const Vector counts = weighted_histogram_counts(full->kept_values.span(), col.span(), edges.span());
                for (std::size_t j = 0; j < counts.size(); ++j)
                    EXPECT_TRUE(same(got->bin_counts(j, c), counts[j])) << round << " bin " << j << " col " << c;
            }
        }
    }
}

}  // namespace

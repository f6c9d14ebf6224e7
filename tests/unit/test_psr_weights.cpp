// Partial-sample weights, materialised and streamed.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "toolbox/qel/insights/fit/fit.hpp"
#include "toolbox/qel/insights/weights/psr_weights.hpp"

namespace {

using namespace toolbox::qel::insights::weights::psr_weights;
namespace fit = toolbox::qel::insights::fit;
using toolbox::matrix::BoolMatrix;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Sample {
    Vector y, r;
    BoolMatrix include, exclude;
};

// Column k of the masks: retained at r >= cut, censored below; a NaN
// relevance on neither side.
void censor_at(Sample& s, std::size_t k, double cut) {
    for (std::size_t i = 0; i < s.r.size(); ++i) {
        s.include(i, k) = s.r[i] >= cut;
        s.exclude(i, k) = s.r[i] < cut;
    }
}

// Censors the relevance at T cut-offs (>=); a NaN relevance is on neither side.
Sample random_sample(std::size_t n, std::size_t t, unsigned seed, double nan_share) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::bernoulli_distribution missing(nan_share);
    Sample s{Vector::uninit(n), Vector::uninit(n), BoolMatrix(n, t), BoolMatrix(n, t)};
    for (std::size_t i = 0; i < n; ++i) {
        s.y[i] = normal(rng) + 2.0;
        s.r[i] = missing(rng) ? kNaN : normal(rng);
    }
    for (std::size_t k = 0; k < t; ++k) censor_at(s, k, -1.5 + 3.0 * static_cast<double>(k) / static_cast<double>(t));
    return s;
}

Matrix weights_of(const BoolMatrix& mask, const Vector& r, double n_f) {
    Matrix out;
    auto w = psr_weights_include_exclude(mask, mask, r, n_f);
    EXPECT_TRUE(w.has_value());
    if (w) out = std::move(w->weights);
    return out;
}

TEST(PsrWeights, EverythingOnTheSide) {
    const Vector r = {0.5, -1.0, 2.0, 0.25};
    const double n = 4.0;
    const BoolMatrix all(4, 1, true);
    auto w = psr_weights_include_exclude(all, BoolMatrix(4, 1), r, n);
    ASSERT_TRUE(w.has_value());
    const PsrDetails& d = w->details;
    EXPECT_EQ(d.phi[0], 1.0);
    EXPECT_EQ(d.n[0], 4.0);
    EXPECT_EQ(d.part_var[0], d.full_var[0]);
    EXPECT_EQ(d.lambda_sq[0], 1.0);
    const double mean = (0.5 - 1.0 + 2.0 + 0.25) / 4.0;
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(w->weights(i, 0), 0.25 + (r[i] - mean) / 3.0, 1e-15) << i;
    // The weights of a side sum to 1: the prediction is a weighted mean.
    double s = 0;
    for (std::size_t i = 0; i < 4; ++i) s += w->weights(i, 0);
    EXPECT_NEAR(s, 1.0, 1e-15);
}

TEST(PsrWeights, DegenerateSides) {
    struct Case {
        const char* name;
        Vector r;
        std::vector<bool> mask;
        double part_var;  // NaN: expect NaN
        bool part_var_negative_zero;
        double lambda_sq;
        std::vector<double> weights;
    } cases[] = {
        {"nobody on the side", {1.0, kNaN, 2.0}, {false, false, false}, 0.0, true, 1.0, {1.0 / 3, 0.0, 1.0 / 3}},
        // A uniform column, in which the row without a relevance still weighs nothing.
        {"exactly one, nonzero relevance", {1.0, kNaN, 2.0}, {false, false, true}, kInf, false, 0.0,
         {1.0 / 3, 0.0, 1.0 / 3}},
        {"all relevances zero", {0.0, 0.0, 0.0}, {true, true, false}, 0.0, false, 1.0, {1.0 / 3, 1.0 / 3, 1.0 / 3}},
        {"all zero, exactly one on the side", {0.0, 0.0, 0.0}, {false, true, false}, kNaN, false, 1.0,
         {0.0, 0.0, 0.0}},
    };
    for (const auto& c : cases) {
        BoolMatrix mask(3, 1);
        for (std::size_t i = 0; i < 3; ++i) mask(i, 0) = c.mask[i];
        auto w = psr_weights_include_exclude(mask, mask, c.r, 3.0);
        ASSERT_TRUE(w.has_value()) << c.name;
        const PsrDetails& d = w->details;
        if (std::isnan(c.part_var)) {
            EXPECT_TRUE(std::isnan(d.part_var[0])) << c.name;
        } else {
            EXPECT_EQ(d.part_var[0], c.part_var) << c.name;
            EXPECT_EQ(std::signbit(d.part_var[0]), c.part_var_negative_zero) << c.name;
        }
        EXPECT_EQ(d.lambda_sq[0], c.lambda_sq) << c.name;
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(w->weights(i, 0), c.weights[i]) << c.name << " row " << i;
    }
}

TEST(PsrWeights, ANaNRelevanceIsCountedButWeighsNothing) {
    const Vector r = {1.0, kNaN, 2.0, -0.5, 0.7};
    BoolMatrix mask(5, 1, true);
    auto sq = square_and_full_var_1d(r, 1, 5.0);
    EXPECT_EQ(sq.full_var[0], (1.0 + 4.0 + 0.25 + 0.49) / 4.0);  // NaN skipped, N - 1 still 4
    Matrix work(5, 1);
    auto side = psr_side_from_squares(mask, r, sq.sq.view(), sq.full_var.view(), work.view_mut(), 5.0);
    ASSERT_TRUE(side.has_value());
    EXPECT_EQ(side->n[0], 5.0);
    EXPECT_EQ(side->part_mean[0], (1.0 + 2.0 - 0.5 + 0.7) / 5.0);
    const Matrix w = psr_fill_weights(work.view(), *side, 5.0);
    EXPECT_EQ(w(1, 0), 0.0);
    EXPECT_NE(w(0, 0), 0.0);
}

TEST(PsrWeights, DetailsHoldFullVarBetweenPhiAndPartVar) {
    const Sample s = random_sample(30, 3, 5, 0.0);
    auto w = psr_weights_include_exclude(s.include, s.exclude, s.r, 30.0);
    auto e = psr_eval_include_exclude(s.include, s.exclude, s.r, 30.0);
    ASSERT_TRUE(w.has_value() && e.has_value());
    const PsrDetails d = e->include_side.details(e->full_var.view());
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(w->details.lambda_sq[k], d.lambda_sq[k]);
        EXPECT_EQ(w->details.phi[k], e->include_side.phi[k]);
        EXPECT_EQ(w->details.full_var[k], e->full_var[k]);
        EXPECT_EQ(w->details.part_var[k], e->include_side.part_var[k]);
        EXPECT_EQ(w->details.n[k], e->include_side.n[k]);
    }
    EXPECT_EQ(e->n_total, 30.0);
}

TEST(PsrWeights, MasksOfDifferentShapesNameBothShapes) {
    const Vector r = {1, 2, 3};
    const BoolMatrix include(3, 2, true), exclude(3, 1);
    const std::string want = "psr_side_from_squares: work [3, 2] vs mask [3, 1]";
    auto w = psr_weights_include_exclude(include, exclude, r, 3.0);
    ASSERT_FALSE(w.has_value());
    EXPECT_EQ(w.error().message, want);
    auto e = psr_eval_include_exclude(include, exclude, r, 3.0);
    ASSERT_FALSE(e.has_value());
    EXPECT_EQ(e.error().message, want);
}

TEST(PsrWeights, TheCallersCountSetsOneOverN) {
    // With 3 of 5 rows counted (listwise), every uniform weight is 1/3.
    const Vector r = {1.0, 2.0, 3.0, 4.0, 5.0};
    BoolMatrix mask(5, 1);
    mask(4, 0) = true;  // a single observation: lambda_sq 0, uniform column
    const Matrix w = weights_of(mask, r, 3.0);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(w(i, 0), 1.0 / 3.0);
}

TEST(PsrWeights, StreamedSideDataEqualTheWorkMatrixSums) {
    // The evaluated form sums without a work matrix; its sums must be those of
    // the materialised form bit for bit, for every remainder of N modulo 4,
    // and for rows enough that each side's four running sums go to workers
    // of their own.
    auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 41u, 103u, 40'001u, 40'003u}) {
        Sample s = random_sample(n, 6, 50 + static_cast<unsigned>(n), 0.15);
        if (n > 2) s.r[2] = kInf;  // masked to NaN where it is off the side
        auto ev = psr_eval_include_exclude(s.include, s.exclude, s.r, static_cast<double>(n));
        ASSERT_TRUE(ev.has_value());
        auto sq = square_and_full_var_1d(s.r, 6, static_cast<double>(n));
        const std::pair<const BoolMatrix*, const PsrSide*> sides[] = {{&s.include, &ev->include_side},
                                                                       {&s.exclude, &ev->exclude_side}};
        for (const auto& [mask, streamed] : sides) {
            Matrix work(n, 6);
            auto side = psr_side_from_squares(*mask, s.r, sq.sq.view(), sq.full_var.view(), work.view_mut(),
                                              static_cast<double>(n));
            ASSERT_TRUE(side.has_value());
            for (std::size_t k = 0; k < 6; ++k) {
                EXPECT_EQ(bits(streamed->part_var[k]), bits(side->part_var[k])) << n << " " << k;
                EXPECT_EQ(bits(streamed->part_mean[k]), bits(side->part_mean[k])) << n << " " << k;
                EXPECT_EQ(bits(streamed->lambda_sq[k]), bits(side->lambda_sq[k])) << n << " " << k;
                EXPECT_EQ(bits(streamed->phi[k]), bits(side->phi[k])) << n << " " << k;
                EXPECT_EQ(streamed->n[k], side->n[k]);
            }
        }
    }
}

// ---- Streamed forms against the materialised weights ----

class StreamedVsMaterialised : public ::testing::TestWithParam<std::size_t> {};

// The streamed statistics keep both sides' weights for the later passes
// while they are few (157 rows) and form them again in every pass when
// there are many (4,001 rows of 17 thresholds): either way the same bits.
void streamed_agrees_with_materialised(std::size_t n, std::size_t t) {
    SCOPED_TRACE(testing::Message() << n << " rows, " << t << " thresholds");
    Sample s = random_sample(n, t, 100 + static_cast<unsigned>(t), 0.1);
    // The last column retains one observation alone and, from three columns
    // on, the second censors one alone: lambda_sq is 0 on that side.
    std::vector<double> finite;
    for (double r : s.r) {
        if (!std::isnan(r)) finite.push_back(r);
    }
    std::sort(finite.begin(), finite.end());
    censor_at(s, t - 1, finite.back());
    if (t >= 3) censor_at(s, 1, finite[1]);
    const double n_f = static_cast<double>(finite.size());
    auto mat = psr_weights_include_exclude(s.include, s.exclude, s.r, n_f);
    auto ev = psr_eval_include_exclude(s.include, s.exclude, s.r, n_f);
    ASSERT_TRUE(mat.has_value() && ev.has_value());
    const double inv_n = 1.0 / ev->n_total;
    ASSERT_LT(finite.size(), n);
    ASSERT_EQ(ev->include_side.lambda_sq[t - 1], 0.0);
    if (t >= 3) {
        ASSERT_EQ(ev->exclude_side.lambda_sq[1], 0.0);
    }

    // A row without a relevance weighs nothing in any column, so every
    // column of either side sums to 1 over the others.
    for (const Matrix* w : {&mat->weights, &mat->weights_excluded}) {
        for (std::size_t k = 0; k < t; ++k) {
            double sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                if (std::isnan(s.r[i])) {
                    EXPECT_EQ((*w)(i, k), 0.0) << i << " " << k;
                }
                sum += (*w)(i, k);
            }
            EXPECT_NEAR(sum, 1.0, 1e-12) << k;
        }
    }

    // The weights themselves, bit for bit.
    for (std::size_t k = 0; k < t; ++k) {
        const PsrColumn cin = psr_column(ev->include_side, k);
        const PsrColumn cex = psr_column(ev->exclude_side, k);
        for (std::size_t i = 0; i < n; ++i) {
            const double win = psr_weight(psr_masked(s.include(i, k), s.r[i]), cin, inv_n);
            const double wex = psr_weight(psr_masked(s.exclude(i, k), s.r[i]), cex, inv_n);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(win), std::bit_cast<std::uint64_t>(mat->weights(i, k)));
            ASSERT_EQ(std::bit_cast<std::uint64_t>(wex), std::bit_cast<std::uint64_t>(mat->weights_excluded(i, k)));
        }
    }

    // Predictions: the weighted sum of the outcomes under the include weights.
    const Vector yhat = psr_stream_yhat(s.y, s.r, s.include, ev->include_side, ev->n_total);
    for (std::size_t k = 0; k < t; ++k) {
        double want = 0.0;
        for (std::size_t i = 0; i < n; ++i) want = mat->weights(i, k) * s.y[i] + want;
        EXPECT_EQ(yhat[k], want) << k;
    }

    // Fit statistics of both sides, to rounding of the sums.
    const std::pair<const Matrix*, std::pair<const BoolMatrix*, const PsrSide*>> sides[] = {
        {&mat->weights, {&s.include, &ev->include_side}},
        {&mat->weights_excluded, {&s.exclude, &ev->exclude_side}},
    };
    for (const auto& [w, ms] : sides) {
        auto want = fit::fit_auto_vectorized(*w, s.y);
        ASSERT_TRUE(want.has_value());
        const fit::FitResult got = psr_stream_fit(s.y, s.r, *ms.first, *ms.second, ev->n_total);
        // Bit for bit, the two passes down each column of the weights in row
        // order: whatever the lanes do, no column's sums are reordered.
        const double nn = static_cast<double>(n);
        double ysum = 0.0, vy = 0.0;
        for (std::size_t i = 0; i < n; ++i) ysum += s.y[i];
        for (std::size_t i = 0; i < n; ++i) vy += (s.y[i] - ysum / nn) * (s.y[i] - ysum / nn);
        for (std::size_t k = 0; k < t; ++k) {
            double wsum = 0.0, c = 0.0, vw = 0.0, q = 0.0;
            for (std::size_t i = 0; i < n; ++i) wsum = wsum + (*w)(i, k);
            for (std::size_t i = 0; i < n; ++i) {
                const double dw = (*w)(i, k) - wsum / nn;
                const double dy = s.y[i] - ysum / nn;
                c = c + dy * dw;
                vw = vw + dw * dw;
                q = q + (dy * dy) * (dw * dw);
            }
            const double rho = vw > 0.0 && vy > 0.0 ? c / (std::sqrt(vw) * std::sqrt(vy)) : 0.0;
            const double oi = (q / ((vw / nn) * (vy / nn))) * (1.0 / ((nn - 1.0) * (nn - 1.0)));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got.rho[k]), std::bit_cast<std::uint64_t>(rho)) << t << " " << k;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got.outlier_influence[k]), std::bit_cast<std::uint64_t>(oi))
                << t << " " << k;
        }
        for (std::size_t k = 0; k < t; ++k) {
            EXPECT_NEAR(got.rho[k], want->rho[k], 1e-12) << k;
            EXPECT_NEAR(got.fit[k], want->fit[k], 1e-12) << k;
            EXPECT_NEAR(got.outlier_influence[k], want->outlier_influence[k], 1e-10) << k;
            EXPECT_NEAR(got.agreement[k], want->agreement[k], 1e-10) << k;
        }
    }

    // Both sides at once: the predictions and each side's fit statistics of
    // the separate passes, bit for bit.
    const StreamedStatistics both = psr_stream_statistics(s.y, outcome_spread(s.y), s.r, s.include, s.exclude, *ev);
    const fit::FitResult alone[] = {psr_stream_fit(s.y, s.r, s.include, ev->include_side, ev->n_total),
                                    psr_stream_fit(s.y, s.r, s.exclude, ev->exclude_side, ev->n_total)};
    const fit::FitResult* together[] = {&both.include, &both.exclude};
    auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    for (std::size_t k = 0; k < t; ++k) {
        EXPECT_EQ(bits(both.yhat[k]), bits(yhat[k])) << k;
        for (std::size_t side = 0; side < 2; ++side) {
            EXPECT_EQ(bits(together[side]->rho[k]), bits(alone[side].rho[k])) << side << " " << k;
            EXPECT_EQ(bits(together[side]->fit[k]), bits(alone[side].fit[k])) << side << " " << k;
            EXPECT_EQ(bits(together[side]->outlier_influence[k]), bits(alone[side].outlier_influence[k]))
                << side << " " << k;
            EXPECT_EQ(bits(together[side]->agreement[k]), bits(alone[side].agreement[k])) << side << " " << k;
        }
    }

    // Mixtures: per row, the weights times per-threshold coefficients.
    Vector a = Vector::uninit(t), b = Vector::uninit(t);
    for (std::size_t k = 0; k < t; ++k) {
        a[k] = 0.1 * static_cast<double>(k + 1);
        b[k] = 1.0 - 0.05 * static_cast<double>(k);
    }
    const CellAdjFitWeights mix = psr_stream_mix(s.r, s.include, s.exclude, *ev, a, b);
    const BothSideWeights kept{Matrix::from(mat->weights.view()), Matrix::from(mat->weights_excluded.view())};
    const CellAdjFitWeights from_kept = psr_stream_mix(s.r, s.include, s.exclude, *ev, a, b, &kept);
    for (std::size_t i = 0; i < n; ++i) {
        double in = 0.0, ex = 0.0;
        for (std::size_t k = 0; k < t; ++k) {
            in = in + mat->weights(i, k) * a[k];
            ex = ex + mat->weights_excluded(i, k) * b[k];
        }
        ASSERT_EQ(mix.include[i], in) << i;
        ASSERT_EQ(mix.exclude[i], ex) << i;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(from_kept.include[i]), std::bit_cast<std::uint64_t>(in)) << i;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(from_kept.exclude[i]), std::bit_cast<std::uint64_t>(ex)) << i;
    }
    if (both.weights) {
        // What the statistics kept are the weights themselves.
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < t; ++k) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(both.weights->include(i, k)),
                          std::bit_cast<std::uint64_t>(mat->weights(i, k)));
                ASSERT_EQ(std::bit_cast<std::uint64_t>(both.weights->exclude(i, k)),
                          std::bit_cast<std::uint64_t>(mat->weights_excluded(i, k)));
            }
        }
    }
    EXPECT_EQ(both.weights.has_value(), n * t < 50'000) << "kept for the few rows, formed again for the many";
}

TEST_P(StreamedVsMaterialised, AgreeOnRandomDataWithNaNRelevances) {
    for (std::size_t n : {157u, 4001u}) {
        streamed_agrees_with_materialised(n, GetParam());
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(BelowAndAboveTwelveThresholds, StreamedVsMaterialised, ::testing::Values(1, 4, 5, 11, 12, 17));

TEST(PsrStream, OutcomesWithoutSpreadSplitAtElevenThresholds) {
    for (std::size_t t : {4u, 12u}) {
        Sample s = random_sample(20, t, 8, 0.0);
        for (std::size_t i = 0; i < 20; ++i) s.y[i] = 1.0;
        auto ev = psr_eval_include_exclude(s.include, s.exclude, s.r, 20.0);
        ASSERT_TRUE(ev.has_value());
        const fit::FitResult f = psr_stream_fit(s.y, s.r, s.include, ev->include_side, 20.0);
        auto mat = psr_weights_include_exclude(s.include, s.exclude, s.r, 20.0);
        auto want = fit::fit_auto_vectorized(mat->weights, s.y);
        for (std::size_t k = 0; k < t; ++k) {
            EXPECT_EQ(f.rho[k], 0.0);
            EXPECT_EQ(f.fit[k], 0.0);
            EXPECT_EQ(std::isnan(f.outlier_influence[k]), t <= 11) << t;
            EXPECT_EQ(std::isnan(f.agreement[k]), t <= 11) << t;
            EXPECT_EQ(std::isnan(want->outlier_influence[k]), t <= 11) << t;
            if (t >= 12) {
                EXPECT_EQ(f.outlier_influence[k], 0.0);
            }
        }
    }
}

TEST(PsrStream, ANaNOutcomeFailsEveryColumn) {
    Sample s = random_sample(20, 3, 9, 0.0);
    s.y[4] = kNaN;
    auto ev = psr_eval_include_exclude(s.include, s.exclude, s.r, 20.0);
    ASSERT_TRUE(ev.has_value());
    const fit::FitResult f = psr_stream_fit(s.y, s.r, s.include, ev->include_side, 20.0);
    const Vector yhat = psr_stream_yhat(s.y, s.r, s.include, ev->include_side, 20.0);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(f.rho[k], 0.0);
        EXPECT_EQ(f.fit[k], 0.0);
        EXPECT_TRUE(std::isnan(f.outlier_influence[k]));
        EXPECT_TRUE(std::isnan(yhat[k]));
    }
}

TEST(PsrStream, NoThresholds) {
    const Sample s = random_sample(6, 0, 1, 0.0);
    auto ev = psr_eval_include_exclude(s.include, s.exclude, s.r, 6.0);
    ASSERT_TRUE(ev.has_value());
    const fit::FitResult f = psr_stream_fit(s.y, s.r, s.include, ev->include_side, 6.0);
    EXPECT_EQ(f.fit.size(), 0u);
    EXPECT_EQ(f.rho.size(), 0u);
    EXPECT_EQ(f.outlier_influence.size(), 0u);
    EXPECT_EQ(f.agreement.size(), 0u);
    EXPECT_EQ(psr_stream_yhat(s.y, s.r, s.include, ev->include_side, 6.0).size(), 0u);
    const CellAdjFitWeights mix = psr_stream_mix(s.r, s.include, s.exclude, *ev, Vector(), Vector());
    ASSERT_EQ(mix.include.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(mix.include[i], 0.0);
        EXPECT_EQ(mix.exclude[i], 0.0);
    }
}

}  // namespace

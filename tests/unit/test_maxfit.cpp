// Max-fit selection from inside the engine: the choice of threshold and of
// censor type, the reduction of a pass to its threshold, the drivers and the
// logistic step.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sample_data.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/inversion.hpp"
#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"
#include "toolbox/qel/models/binary/binary.hpp"
#include "toolbox/qel/models/maxfit/maxfit.hpp"
#include "toolbox/qel/models/predict/predict.hpp"
#include "toolbox/stats/linear_regression.hpp"

namespace {

using test_data::Data;
using test_data::make_data;

using toolbox::enums::CensorType;
using toolbox::enums::InnerParallel;
using toolbox::enums::MaxFitObjective;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;
using toolbox::qel::models::config::MaxFitOptions;
using toolbox::qel::results::PredictionResults;
namespace mf = toolbox::qel::models::maxfit;
namespace pr = toolbox::qel::models::predict;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();


// 0/1 outcomes for the logistic scale.
Data make_binary(std::size_t n, std::size_t k, unsigned seed) {
    Data d = make_data(n, k, seed);
    for (double& v : d.y.span()) v = v > 0.0 ? 1.0 : 0.0;
    return d;
}

MaxFitOptions options_for(CensorType censor, InnerParallel inner, MaxFitObjective objective = MaxFitObjective::KFit) {
    MaxFitOptions o;
    o.objective = objective;
    o.predict.censor_type = censor;
    o.inner_parallel = inner;
    return o;
}

bool same_bits(const Vector& a, const Vector& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

bool same_bits(const Matrix& a, const Matrix& b) {
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(MaxFitThreshold, BestIndexRules) {
    struct Case {
        const char* name;
        std::vector<double> scores;
        std::size_t want;
    } cases[] = {
        {"tie goes to the later threshold", {0.1, 0.4, 0.4, 0.2}, 2},
        {"NaN entries skipped", {kNaN, 0.5, kNaN}, 1},
        {"all NaN gives the last", {kNaN, kNaN, kNaN, kNaN}, 3},
        {"single entry", {-3.0}, 0},
        {"single NaN", {kNaN}, 0},
        {"leading NaN best gives way to the next, even NaN", {kNaN, kNaN, 2.0, 1.0}, 2},
        {"NaN after a number never replaces it", {3.0, kNaN, 1.0}, 0},
        {"equal after NaN gap", {kNaN, 1.0, kNaN, 1.0}, 3},
        {"infinities compare", {-kInf, kNaN, -kInf}, 2},
        {"strictly increasing", {1.0, 2.0, 3.0}, 2},
        {"maximum first", {5.0, 2.0, 3.0}, 0},
    };
    for (const Case& c : cases) {
        const Vector s = Vector::from(std::span<const double>(c.scores));
        EXPECT_EQ(mf::best_threshold_index(s.view()), c.want) << c.name;
    }
}

TEST(MaxFitThreshold, EmptyScoresAreAFault) {
    const Vector none(0);
    EXPECT_THROW(mf::best_threshold_index(none.view()), toolbox::Fault);
}

// A candidate whose three objective arrays hold one score each.
mf::MaxFitCandidate candidate(double score, double tag) {
    PredictionResults r = PredictionResults::create(1, 1, 1, Vector{0.5});
    r.core.fit = Vector{score};
    r.core.adjusted_fit = Vector{score};
    r.core.k_fit = Vector{score};
    return {Vector{tag}, std::move(r)};
}

TEST(MaxFitSelection, CandidateRules) {
    struct Case {
        const char* name;
        std::vector<double> scores;
        MaxFitObjective objective;
        double want_tag;  // the index of the winner
    } cases[] = {
        {"equal scores keep the first", {0.7, 0.7}, MaxFitObjective::KFit, 0},
        {"NaN first, number second", {kNaN, 0.2}, MaxFitObjective::Fit, 1},
        {"number first, NaN second", {0.2, kNaN}, MaxFitObjective::AdjustedFit, 0},
        {"both NaN: the first", {kNaN, kNaN}, MaxFitObjective::KFit, 0},
        {"strictly greater wins", {0.1, 0.3}, MaxFitObjective::KFit, 1},
        {"smaller loses", {0.3, 0.1}, MaxFitObjective::KFit, 0},
        {"three candidates", {kNaN, 0.4, 0.9}, MaxFitObjective::Fit, 2},
        {"one candidate is returned unscored", {kNaN}, MaxFitObjective::KFit, 0},
    };
    for (const Case& c : cases) {
        std::vector<mf::MaxFitCandidate> list;
        for (std::size_t i = 0; i < c.scores.size(); ++i) list.push_back(candidate(c.scores[i], double(i)));
        auto best = mf::select_best_result(std::move(list), c.objective);
        ASSERT_TRUE(best) << c.name;
        EXPECT_EQ(best->value[0], c.want_tag) << c.name;
    }
    auto none = mf::select_best_result({}, MaxFitObjective::KFit);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().message, "No results to select from");
}

TEST(MaxFitObjectiveText, IsMatchedExactly) {
    struct Case {
        const char* text;
        std::optional<MaxFitObjective> want;
    } cases[] = {{"fit", MaxFitObjective::Fit},
                 {"adjusted_fit", MaxFitObjective::AdjustedFit},
                 {"kfit", MaxFitObjective::KFit},
                 {"Fit", std::nullopt},
                 {"KFIT", std::nullopt},
                 {"kfit ", std::nullopt},
                 {"", std::nullopt},
                 {"adjusted fit", std::nullopt}};
    for (const Case& c : cases) EXPECT_EQ(toolbox::enums::maxfit_objective_from_str(c.text), c.want) << c.text;
}

// Each objective scores the core array of its name.
TEST(MaxFitObjectiveText, ScoresTheArrayOfItsName) {
    PredictionResults r = PredictionResults::create(1, 1, 1, Vector{0.5});
    r.core.fit = Vector{1.0};
    r.core.adjusted_fit = Vector{2.0};
    r.core.k_fit = Vector{3.0};
    EXPECT_EQ(mf::objective_scores(r, MaxFitObjective::Fit)[0], 1.0);
    EXPECT_EQ(mf::objective_scores(r, MaxFitObjective::AdjustedFit)[0], 2.0);
    EXPECT_EQ(mf::objective_scores(r, MaxFitObjective::KFit)[0], 3.0);
}

TEST(MaxFitSetup, ThresholdsAndInverseCovariance) {
    const Data d = make_data(30, 3, 2);
    MaxFitOptions o;
    o.predict.threshold.reset();
    auto s = mf::setup_common(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_TRUE(s);
    EXPECT_TRUE(same_bits(s->thresholds, Vector{0.0, 0.2, 0.5, 0.8}));
    EXPECT_TRUE(same_bits(s->cov_inv, *toolbox::matrix::covariance::cov_inv_with_method(d.x.view(), o.predict.inv_method)));

    // A precomputed inverse is taken as it is, not recomputed.
    o.predict.threshold = Vector{0.3};
    Matrix given(3, 3, 0.0);
    for (std::size_t j = 0; j < 3; ++j) given(j, j) = 2.0 + double(j);
    o.predict.cov_inv = Matrix::from(given.view());
    s = mf::setup_common(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_TRUE(s);
    EXPECT_TRUE(same_bits(s->thresholds, Vector{0.3}));
    EXPECT_TRUE(same_bits(s->cov_inv, given));
}

// A covariance that is not finite is refused before any inversion, with the
// pipeline's words: inverted, it gave a "successful" run of meaningless
// predictions (or, by the pseudoinverse, a run that never returned).
TEST(MaxFitSetup, UndefinedCovarianceIsAnErrorUnderEveryMethod) {
    auto undefined = [](const char* column) {
        return std::string("covariance of X is not finite for ") + column +
               " (an infinite or overflowing value, a column with fewer than two observed values, fewer than two "
               "complete rows where only those count, or a single observation)";
    };
    const std::string any = undefined("any column"), column1 = undefined("column 1");
    const char* near_singular = "inverse covariance of X is not finite (the covariance is too close to singular)";
    auto with = [](std::size_t n, std::size_t row, double value) {
        Data d = make_data(n, 2, 3);
        d.x(row, 1) = value;
        return d;
    };
    // A variance of about 1e-320: finite, but its inverse overflows.
    Data tiny = make_data(8, 2, 3);
    for (std::size_t i = 0; i < 8; ++i) tiny.x(i, 0) = static_cast<double>(i) * 1e-160;
    struct Case {
        const char* name;
        Data d;
        const char* text[3];  // per method; nullptr: the setup succeeds
    } cases[] = {
        {"infinite value", with(30, 4, -kInf), {column1.c_str(), column1.c_str(), column1.c_str()}},
        {"1e308 overflows the covariance", with(8, 4, 1e308), {column1.c_str(), column1.c_str(), column1.c_str()}},
        {"single observation", make_data(1, 2, 3), {any.c_str(), any.c_str(), any.c_str()}},
        {"variance of 1e-320", std::move(tiny), {near_singular, near_singular, nullptr}},
    };
    for (const auto& c : cases) {
        for (int method = 0; method < 3; ++method) {
            MaxFitOptions o;
            o.predict.inv_method = static_cast<toolbox::enums::InversionMethod>(method);
            auto s = mf::setup_common(c.d.y.view(), c.d.x.view(), c.d.theta.view(), o);
            if (c.text[method] == nullptr) {
                EXPECT_TRUE(s) << c.name << " " << method;
                continue;
            }
            ASSERT_FALSE(s) << c.name << " " << method;
            EXPECT_EQ(s.error().message, c.text[method]) << c.name << " " << method;
        }
    }
}

// A sample with missing values runs, its covariance taken by the
// missing-moments rule as a prediction takes it: with one threshold, the
// max-fit run is that prediction, bit for bit, under either rule.
TEST(MaxFitSetup, MissingValuesTakeTheCovarianceOfTheMissingMomentsRule) {
    Data d = make_data(40, 3, 5);
    d.x(3, 1) = kNaN;
    d.x(10, 2) = kNaN;
    d.x(11, 0) = kNaN;
    for (auto moments : {toolbox::enums::MissingMoments::Pairwise, toolbox::enums::MissingMoments::Complete}) {
        for (CensorType censor : {CensorType::Relevance, CensorType::Similarity}) {
            MaxFitOptions o = options_for(censor, InnerParallel::Off, MaxFitObjective::Fit);
            o.predict.missing_moments = moments;
            o.predict.threshold = Vector{0.3};
            const std::string what = std::string(censor == CensorType::Relevance ? "relevance" : "similarity") +
                                     (moments == toolbox::enums::MissingMoments::Complete ? ", complete" : ", pairwise");
            auto s = mf::setup_common(d.y.view(), d.x.view(), d.theta.view(), o);
            ASSERT_TRUE(s) << what << ": " << s.error().message;
            const auto want = toolbox::matrix::inversion::inv_with_method(
                toolbox::matrix::covariance::nancov(d.x.view(), moments == toolbox::enums::MissingMoments::Complete)
                    .view(),
                o.predict.inv_method);
            EXPECT_TRUE(same_bits(s->cov_inv, *want)) << what;

            auto run = mf::predict_maxfit_simple(d.y.view(), d.x.view(), d.theta.view(), o);
            ASSERT_TRUE(run) << what << ": " << run.error().message;
            auto plain = pr::predict(d.y.view(), d.x.view(), d.theta.view(), o.predict);
            ASSERT_TRUE(plain) << what << ": " << plain.error().message;
            EXPECT_TRUE(std::isfinite(run->value[0])) << what;
            EXPECT_TRUE(same_bits(run->value, plain->core.yhat)) << what;
            EXPECT_TRUE(same_bits(run->results.core.fit, plain->core.fit)) << what;
            EXPECT_TRUE(same_bits(*run->results.weights, *plain->weights)) << what;
        }
    }
}

// One pass reduced to its best threshold is the full pass's column at that
// threshold, bit for bit.
TEST(MaxFitPass, ReducesTheFullPassToTheChosenThreshold) {
    const Data d = make_data(60, 3, 4);
    for (CensorType censor : {CensorType::Relevance, CensorType::Similarity}) {
        MaxFitOptions o = options_for(CensorType::Both, InnerParallel::Off, MaxFitObjective::Fit);
        o.predict.threshold = Vector{0.0, 0.1, 0.3, 0.5, 0.7};
        auto setup = mf::setup_common(d.y.view(), d.x.view(), d.theta.view(), o);
        ASSERT_TRUE(setup);
        auto c = mf::execute_single_censor(*setup, censor);
        ASSERT_TRUE(c) << c.error().message;

        auto inner = toolbox::qel::models::config::for_inner_search_cell(o.predict);
        inner.censor_type = censor;
        inner.cov_inv = Matrix::from(setup->cov_inv.view());
        auto full = pr::predict_inner_with_insights(d.y.view(), d.x.view(), d.theta.view(), inner,
                                                    pr::InsightSource::compute(), {.ysolo_histogram = false});
        ASSERT_TRUE(full);
        const PredictionResults& f = full->results;
        const std::size_t g = mf::best_threshold_index(f.core.fit.view());
        const PredictionResults& r = c->results;

        EXPECT_EQ(r.num_thresholds, 1u);
        EXPECT_TRUE(same_bits(r.thresholds, Vector{(*o.predict.threshold)[g]}));
        Vector one_hot(5, 0.0);
        one_hot[g] = 1.0;
        ASSERT_TRUE(r.maxfit_index);
        EXPECT_TRUE(same_bits(*r.maxfit_index, one_hot));
        EXPECT_TRUE(same_bits(c->value, Vector{f.core.yhat[g]}));
        for (auto part : {&toolbox::qel::results::PredictionCoreResults::yhat,
                          &toolbox::qel::results::PredictionCoreResults::fit,
                          &toolbox::qel::results::PredictionCoreResults::k_fit,
                          &toolbox::qel::results::PredictionCoreResults::adjusted_fit,
                          &toolbox::qel::results::PredictionCoreResults::asymmetry}) {
            EXPECT_TRUE(same_bits(r.core.*part, Vector{(f.core.*part)[g]}));
        }
        ASSERT_TRUE(r.weights && r.solo_distribution && r.solo_distribution->xi_solo);
        ASSERT_EQ(r.weights->cols(), 1u);
        for (std::size_t i = 0; i < 60; ++i) {
            EXPECT_EQ((*r.weights)(i, 0), (*f.weights)(i, g));
            EXPECT_EQ((*r.solo_distribution->xi_solo)(i, 0), (*f.solo_distribution->xi_solo)(i, g));
        }
        // The pass asks for no histogram and keeps the per-observation parts.
        EXPECT_FALSE(r.solo_distribution->ysolo_distribution);
        EXPECT_TRUE(same_bits(*r.insights->relevance, *f.insights->relevance));
        EXPECT_FALSE(r.core.yhat_linear);
    }
}

TEST(MaxFitThreshold, AllNaNIsReportedOnlyWhenVerbose) {
    struct Case {
        std::vector<double> scores;
        bool verbose;
        std::size_t want;
        const char* out;
    } cases[] = {
        {{kNaN, kNaN, kNaN, kNaN}, true, 3, "All-NaN slice encountered!\n"},
        {{kNaN, kNaN, kNaN, kNaN}, false, 3, ""},
        {{kNaN, 0.5, kNaN}, true, 1, ""},
        {{-kInf}, true, 0, ""},
    };
    for (const Case& c : cases) {
        const Vector s = Vector::from(std::span<const double>(c.scores));
        testing::internal::CaptureStdout();
        const std::size_t g = mf::choose_threshold(s.view(), c.verbose);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(g, c.want);
    }
}

// Every part a caller can read, flattened, to compare two runs bit for bit.
std::vector<double> flatten(const mf::MaxFitCandidate& c) {
    std::vector<double> all(c.value.span().begin(), c.value.span().end());
    auto add = [&](const Vector& v) { all.insert(all.end(), v.span().begin(), v.span().end()); };
    const PredictionResults& r = c.results;
    for (const Vector* v : {&r.core.yhat, &r.core.fit, &r.core.agreement, &r.core.outlier_influence,
                            &r.core.asymmetry, &r.core.adjusted_fit, &r.core.k_fit, &r.thresholds})
        add(*v);
    add(*r.maxfit_index);
    add(*r.insights->relevance);
    add(*r.insights->similarity);
    add(*r.solo_distribution->y_solo);
    add(*r.solo_distribution->statistics->ysolo_sigma);
    add(*r.solo_distribution->statistics->ysolo_kurtosis);
    all.insert(all.end(), r.weights->flat().begin(), r.weights->flat().end());
    all.insert(all.end(), r.solo_distribution->xi_solo->flat().begin(), r.solo_distribution->xi_solo->flat().end());
    if (r.core.yhat_linear) add(*r.core.yhat_linear);
    return all;
}

TEST(MaxFitDrivers, PoolAndSequentialRunsGiveTheSameBits) {
    const Data d = make_data(80, 3, 6);
    for (MaxFitObjective objective : {MaxFitObjective::Fit, MaxFitObjective::AdjustedFit, MaxFitObjective::KFit}) {
        for (bool logistic : {false, true}) {
            const Data& in = logistic ? make_binary(80, 3, 7) : d;
            MaxFitOptions o = options_for(CensorType::Both, InnerParallel::Auto, objective);
            o.predict.include_linear_regression = true;
            o.predict.prediction_scale =
                logistic ? toolbox::enums::PredictionScale::Logistic : toolbox::enums::PredictionScale::Response;
            auto seq = mf::predict_maxfit_sequential(in.y.view(), in.x.view(), in.theta.view(), o);
            ASSERT_TRUE(seq) << seq.error().message;
            const auto want = flatten(*seq);
            for (int round = 0; round < 3; ++round) {
                auto par = mf::predict_maxfit_parallel(in.y.view(), in.x.view(), in.theta.view(), o);
                ASSERT_TRUE(par) << par.error().message;
                const auto got = flatten(*par);
                ASSERT_EQ(got.size(), want.size());
                EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(double)), 0)
                    << int(objective) << (logistic ? " logistic" : " response");
            }
        }
    }
}

// The winner between censor types is the pass with the larger chosen score.
TEST(MaxFitDrivers, BothCensorTypesKeepTheBetterPass) {
    const Data d = make_data(70, 2, 8);
    MaxFitOptions o = options_for(CensorType::Both, InnerParallel::Off, MaxFitObjective::KFit);
    auto both = mf::predict_maxfit_sequential(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_TRUE(both);
    o.predict.censor_type = CensorType::Relevance;
    auto rel = mf::predict_maxfit_sequential(d.y.view(), d.x.view(), d.theta.view(), o);
    o.predict.censor_type = CensorType::Similarity;
    auto sim = mf::predict_maxfit_sequential(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_TRUE(rel && sim);
    const double sr = rel->results.core.k_fit[0], ss = sim->results.core.k_fit[0];
    const auto& winner = (std::isnan(sr) && !std::isnan(ss)) || ss > sr ? *sim : *rel;
    EXPECT_EQ(flatten(*both), flatten(winner));
}

TEST(MaxFitDrivers, ErrorPrefixesFollowTheDriver) {
    Data d = make_data(30, 2, 9);
    d.x(3, 1) = kInf;  // the covariance is undefined: the setup fails
    const std::string objective_message =
        "covariance of X is not finite for column 1 (an infinite or overflowing value, a column with fewer than two "
        "observed values, fewer than two complete rows where only those count, or a single observation)";
    struct Case {
        const char* name;
        CensorType censor;
        InnerParallel inner;
        std::string want;
    } cases[] = {
        {"both, auto: the pool driver", CensorType::Both, InnerParallel::Auto, "Setup error: " + objective_message},
        {"both, off: sequential", CensorType::Both, InnerParallel::Off, objective_message},
        {"relevance, auto: sequential", CensorType::Relevance, InnerParallel::Auto, objective_message},
        {"similarity, off: sequential", CensorType::Similarity, InnerParallel::Off, objective_message},
    };
    for (const Case& c : cases) {
        auto r = mf::predict_maxfit_simple(d.y.view(), d.x.view(), d.theta.view(), options_for(c.censor, c.inner));
        ASSERT_FALSE(r) << c.name;
        EXPECT_EQ(r.error().message, c.want) << c.name;
    }
}

TEST(MaxFitDrivers, DefaultOptionsTakeThePool) {
    const MaxFitOptions o;
    EXPECT_EQ(o.objective, MaxFitObjective::KFit);
    EXPECT_EQ(o.predict.censor_type, CensorType::Both);
    EXPECT_EQ(o.inner_parallel, InnerParallel::Auto);
    Data d = make_data(30, 2, 10);
    d.x(0, 0) = kInf;
    auto r = mf::predict_maxfit_simple(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message.rfind("Setup error: ", 0), 0u);
}

TEST(MaxFitLogistic, ChosenValueAndSoloPartsBecomeProbabilities) {
    const Data d = make_binary(90, 2, 11);
    MaxFitOptions o = options_for(CensorType::Both, InnerParallel::Off, MaxFitObjective::AdjustedFit);
    o.predict.include_linear_regression = true;
    auto response = mf::predict_maxfit_sequential(d.y.view(), d.x.view(), d.theta.view(), o);
    o.predict.prediction_scale = toolbox::enums::PredictionScale::Logistic;
    auto logistic = mf::predict_maxfit_sequential(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_TRUE(response && logistic);
    const PredictionResults& r = logistic->results;

    EXPECT_TRUE(same_bits(logistic->value, r.core.yhat));
    EXPECT_GE(r.core.yhat[0], 0.0);
    EXPECT_LE(r.core.yhat[0], 1.0);
    // The same pass was chosen (the scale changes no score) ...
    EXPECT_TRUE(same_bits(r.core.adjusted_fit, response->results.core.adjusted_fit));
    EXPECT_TRUE(same_bits(*r.solo_distribution->xi_solo, *response->results.solo_distribution->xi_solo));
    EXPECT_TRUE(same_bits(*r.weights, *response->results.weights));
    // ... the linear-regression value stays on the response scale ...
    auto lr = toolbox::stats::linear_regression::direct_linear_regression(d.y.view(), d.x.view(), d.theta.view());
    ASSERT_TRUE(lr);
    EXPECT_TRUE(same_bits(*r.core.yhat_linear, Vector{*lr}));
    EXPECT_TRUE(same_bits(*response->results.core.yhat_linear, Vector{*lr}));
    // ... and the solo predictions and their moments are those of the
    // probabilities.
    auto setup = mf::setup_common(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_TRUE(setup);
    auto q = toolbox::qel::models::binary::logistic_probability_from_yhat(
        d.y.view(), d.x.view(), response->results.solo_distribution->y_solo->view(), setup->cov_inv.view());
    ASSERT_TRUE(q);
    EXPECT_TRUE(same_bits(*r.solo_distribution->y_solo, *q));
    auto st = toolbox::qel::insights::solo_distributions::compute_solo_statistics(
        q->view(), r.solo_distribution->xi_solo->view(), r.core.yhat.view());
    ASSERT_TRUE(st);
    EXPECT_TRUE(same_bits(*r.solo_distribution->statistics->ysolo_sigma, st->sigma));
    EXPECT_TRUE(same_bits(*r.solo_distribution->statistics->ysolo_skewness, st->skewness));
    EXPECT_TRUE(same_bits(*r.solo_distribution->statistics->ysolo_kurtosis, st->kurtosis));
    EXPECT_TRUE(r.solo_distribution->statistics->ysolo_bimodal_index);
    EXPECT_TRUE(r.solo_distribution->statistics->ysolo_pearson_modality_index);
}

// Without solo parts only the value and yhat change.
TEST(MaxFitLogistic, WithoutSoloDistribution) {
    const Data d = make_binary(50, 2, 12);
    auto cov_inv = *toolbox::matrix::covariance::cov_inv_with_method(d.x.view(), toolbox::enums::InversionMethod::Gaussian);
    mf::MaxFitCandidate c = candidate(0.3, 0.4);
    auto ok = mf::apply_maxfit_logistic(d.y.view(), d.x.view(), c.value, c.results, cov_inv.view());
    ASSERT_TRUE(ok);
    auto p = toolbox::qel::models::binary::logistic_probability_from_yhat(d.y.view(), d.x.view(), Vector{0.4}.view(),
                                                                          cov_inv.view());
    ASSERT_TRUE(p);
    EXPECT_TRUE(same_bits(c.value, *p));
    EXPECT_TRUE(same_bits(c.results.core.yhat, *p));
    EXPECT_FALSE(c.results.solo_distribution);
    EXPECT_TRUE(same_bits(c.results.core.fit, Vector{0.3}));
}

}  // namespace

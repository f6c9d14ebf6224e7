// The prediction results store: construction, the lazy creators, the max-fit
// reduction to one threshold, the weights concentration and copies.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "../results/fixture.hpp"
#include "toolbox/count.hpp"
#include "toolbox/qel/results/accessors.hpp"
#include "toolbox/qel/results/base.hpp"
#include "toolbox/qel/results/mutators.hpp"

namespace {

namespace res = toolbox::qel::results;
using res::PredictionResults;
using toolbox::matrix::Array3d;
using toolbox::matrix::BoolMatrix;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

template <class T>
std::vector<T> values(const toolbox::matrix::Array1<T>& v) {
    return std::vector<T>(v.begin(), v.end());
}

template <class T>
std::vector<T> values(const toolbox::matrix::Array2<T>& m) {
    return std::vector<T>(m.data(), m.data() + m.size());
}

constexpr std::size_t N = 3, K = 2, T = 4, C = 2, B = 2;

// A store with every part present and distinct values.
PredictionResults filled_store() { return fixture::every_part(N, K, T, C, B); }

TEST(ResultsStore, CreateFillsCoreWithCanonicalNaNAndLeavesPartsAbsent) {
    struct Case {
        std::size_t t;
        Vector thresholds;
    } cases[] = {{0, Vector{}}, {1, Vector{}}, {4, Vector{0.0, 0.2, 0.5, 0.8}}, {3, Vector{0.5}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.t);
        PredictionResults r = PredictionResults::create(5, 2, c.t, c.thresholds);
        EXPECT_EQ(r.num_observations, 5u);
        EXPECT_EQ(r.num_variables, 2u);
        EXPECT_EQ(r.num_thresholds, c.t);
        EXPECT_EQ(values(r.thresholds), values(c.thresholds));
        for (const Vector* v : {&r.core.yhat, &r.core.fit, &r.core.agreement, &r.core.outlier_influence,
                                &r.core.asymmetry, &r.core.adjusted_fit, &r.core.k_fit}) {
            ASSERT_EQ(v->size(), c.t);
            for (double x : *v) EXPECT_EQ(std::bit_cast<std::uint64_t>(x), 0x7FF8000000000000u);
        }
        EXPECT_FALSE(r.core.yhat_linear);
        EXPECT_FALSE(r.insights);
        EXPECT_FALSE(r.grid_insights);
        EXPECT_FALSE(r.solo_distribution);
        EXPECT_FALSE(r.grid_cells);
        EXPECT_FALSE(r.auxiliary);
        EXPECT_FALSE(r.include);
        EXPECT_FALSE(r.weights);
        EXPECT_FALSE(r.weights_excluded);
        EXPECT_FALSE(r.maxfit_index);
    }
}

TEST(ResultsStore, AuxiliaryIsCreatedOnceWithTheThresholdCountAtThatTime) {
    for (std::size_t t : {0u, 1u, 4u}) {
        SCOPED_TRACE(t);
        PredictionResults r = PredictionResults::create(3, 1, t, Vector{});
        auto& aux = res::get_or_alloc_auxiliary(r);
        for (const Vector* v : {&aux.phi, &aux.lambda_sq, &aux.full_var, &aux.part_var, &aux.r_star,
                                &aux.r_star_percent, &aux.rho}) {
            ASSERT_EQ(v->size(), t);
            for (double x : *v) EXPECT_TRUE(std::isnan(x));
        }
        EXPECT_EQ(values(aux.n), std::vector<std::size_t>(t, 0));
        EXPECT_EQ(values(aux.k), std::vector<std::size_t>(t, 0));

        aux.n = res::CountVector(t, 7);
        r.num_thresholds = t + 3;
        auto& again = res::get_or_alloc_auxiliary(r);
        EXPECT_EQ(&again, &aux);
        EXPECT_EQ(again.phi.size(), t);
        EXPECT_EQ(values(again.n), std::vector<std::size_t>(t, 7));
    }
}

TEST(ResultsStore, SoloStatisticsAreCreatedWithWhateverSoloPartIsMissing) {
    // No solo distribution: created bare, the accessors answer none until written.
    PredictionResults r = PredictionResults::create(3, 1, 2, Vector{});
    auto& stats = res::get_or_alloc_solo_statistics(r);
    ASSERT_TRUE(r.solo_distribution);
    EXPECT_FALSE(r.solo_distribution->y_solo);
    EXPECT_FALSE(r.solo_distribution->xi_solo);
    EXPECT_FALSE(r.solo_distribution->ysolo_distribution);
    EXPECT_FALSE(stats.ysolo_sigma || stats.ysolo_skewness || stats.ysolo_kurtosis ||
                 stats.ysolo_pearson_modality_index || stats.ysolo_bimodal_index);
    EXPECT_EQ(res::ysolo_sigma(r), nullptr);
    stats.ysolo_sigma = Vector{1.5, 2.5};
    ASSERT_NE(res::ysolo_sigma(r), nullptr);
    EXPECT_EQ(values(*res::ysolo_sigma(r)), (std::vector<double>{1.5, 2.5}));
    EXPECT_EQ(res::ysolo_kurtosis(r), nullptr);

    // Solo distribution without statistics: the other fields stay.
    PredictionResults s = PredictionResults::create(3, 1, 2, Vector{});
    s.solo_distribution.emplace();
    s.solo_distribution->y_solo = Vector{1.0, 2.0, 3.0};
    res::get_or_alloc_solo_statistics(s);
    ASSERT_TRUE(s.solo_distribution->statistics);
    EXPECT_EQ(values(*s.solo_distribution->y_solo), (std::vector<double>{1.0, 2.0, 3.0}));

    // Statistics present: returned as they are.
    auto& first = res::get_or_alloc_solo_statistics(s);
    first.ysolo_bimodal_index = Vector{9.0, 8.0};
    auto& second = res::get_or_alloc_solo_statistics(s);
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(values(*second.ysolo_bimodal_index), (std::vector<double>{9.0, 8.0}));
}

TEST(ResultsStore, SelectThresholdReducesEveryPerThresholdPart) {
    const PredictionResults before = filled_store();
    PredictionResults r = before;
    constexpr std::size_t g = 2;
    res::select_threshold(r, g);

    struct Reduced {
        const char* name;
        std::function<const Vector&(const PredictionResults&)> get;
    } vectors[] = {
        {"yhat", [](const PredictionResults& x) -> const Vector& { return x.core.yhat; }},
        {"fit", [](const PredictionResults& x) -> const Vector& { return x.core.fit; }},
        {"agreement", [](const PredictionResults& x) -> const Vector& { return x.core.agreement; }},
        {"outlier_influence", [](const PredictionResults& x) -> const Vector& { return x.core.outlier_influence; }},
        {"asymmetry", [](const PredictionResults& x) -> const Vector& { return x.core.asymmetry; }},
        {"adjusted_fit", [](const PredictionResults& x) -> const Vector& { return x.core.adjusted_fit; }},
        {"k_fit", [](const PredictionResults& x) -> const Vector& { return x.core.k_fit; }},
        {"phi", [](const PredictionResults& x) -> const Vector& { return x.auxiliary->phi; }},
        {"lambda_sq", [](const PredictionResults& x) -> const Vector& { return x.auxiliary->lambda_sq; }},
        {"full_var", [](const PredictionResults& x) -> const Vector& { return x.auxiliary->full_var; }},
        {"part_var", [](const PredictionResults& x) -> const Vector& { return x.auxiliary->part_var; }},
        {"r_star", [](const PredictionResults& x) -> const Vector& { return x.auxiliary->r_star; }},
        {"r_star_percent", [](const PredictionResults& x) -> const Vector& { return x.auxiliary->r_star_percent; }},
        {"rho", [](const PredictionResults& x) -> const Vector& { return x.auxiliary->rho; }},
        {"weights_concentration", [](const PredictionResults& x) -> const Vector& { return *res::weights_concentration(x); }},
        {"ysolo_sigma", [](const PredictionResults& x) -> const Vector& { return *res::ysolo_sigma(x); }},
        {"ysolo_skewness", [](const PredictionResults& x) -> const Vector& { return *res::ysolo_skewness(x); }},
        {"ysolo_kurtosis", [](const PredictionResults& x) -> const Vector& { return *res::ysolo_kurtosis(x); }},
        {"ysolo_pearson_modality_index",
         [](const PredictionResults& x) -> const Vector& { return *res::ysolo_pearson_modality_index(x); }},
        {"ysolo_bimodal_index", [](const PredictionResults& x) -> const Vector& { return *res::ysolo_bimodal_index(x); }},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(values(v.get(r)), std::vector<double>{v.get(before)[g]});
    }
    EXPECT_EQ(values(r.auxiliary->n), std::vector<std::size_t>{before.auxiliary->n[g]});
    EXPECT_EQ(values(r.auxiliary->k), std::vector<std::size_t>{before.auxiliary->k[g]});

    struct Column {
        const char* name;
        std::function<const Matrix&(const PredictionResults&)> get;
    } columns[] = {
        {"weights", [](const PredictionResults& x) -> const Matrix& { return *x.weights; }},
        {"weights_excluded", [](const PredictionResults& x) -> const Matrix& { return *x.weights_excluded; }},
        {"xi_solo", [](const PredictionResults& x) -> const Matrix& { return *x.solo_distribution->xi_solo; }},
    };
    for (const auto& c : columns) {
        SCOPED_TRACE(c.name);
        const Matrix& m = c.get(r);
        ASSERT_EQ(m.rows(), N);
        ASSERT_EQ(m.cols(), 1u);
        for (std::size_t i = 0; i < N; ++i) EXPECT_EQ(m(i, 0), c.get(before)(i, g));
    }
    ASSERT_EQ(r.include->rows(), N);
    ASSERT_EQ(r.include->cols(), 1u);
    for (std::size_t i = 0; i < N; ++i) EXPECT_EQ((*r.include)(i, 0), (*before.include)(i, g)) << i;

    // Left alone: what max-fit sets itself, and everything not per threshold.
    EXPECT_EQ(values(r.thresholds), values(before.thresholds));
    EXPECT_EQ(r.num_thresholds, T);
    EXPECT_EQ(r.num_observations, N);
    EXPECT_EQ(r.num_variables, K);
    EXPECT_EQ(values(*r.maxfit_index), values(*before.maxfit_index));
    EXPECT_EQ(values(*r.core.yhat_linear), std::vector<double>{42.0});
    EXPECT_EQ(values(*r.insights->relevance), values(*before.insights->relevance));
    EXPECT_EQ(values(*r.insights->similarity), values(*before.insights->similarity));
    EXPECT_EQ(values(*r.insights->info_x), values(*before.insights->info_x));
    EXPECT_EQ(values(*r.insights->info_theta), values(*before.insights->info_theta));
    EXPECT_EQ(values(*r.solo_distribution->y_solo), values(*before.solo_distribution->y_solo));
    const auto& hist = *r.solo_distribution->ysolo_distribution;
    EXPECT_EQ(values(hist.bin_counts), values(before.solo_distribution->ysolo_distribution->bin_counts));
    EXPECT_EQ(hist.bin_counts.cols(), T);
    EXPECT_EQ(values(*r.grid_insights->variable_weights), values(*before.grid_insights->variable_weights));
    EXPECT_EQ(values(*r.grid_insights->xi_solo_composite), values(*before.grid_insights->xi_solo_composite));
    EXPECT_EQ(values(*r.grid_cells->relevance->yhat_cells), values(*before.grid_cells->relevance->yhat_cells));
    EXPECT_EQ(r.grid_cells->relevance->weights_cells->dim1(), T);
    EXPECT_EQ(r.grid_cells->k_cells->get(), before.grid_cells->k_cells->get());
}

TEST(ResultsStore, SelectThresholdKeepsAbsentPartsAbsent) {
    PredictionResults r = PredictionResults::create(2, 1, 3, Vector{0.1, 0.2, 0.3});
    r.solo_distribution.emplace();
    r.insights.emplace();
    res::select_threshold(r, 1);
    EXPECT_EQ(r.core.yhat.size(), 1u);
    EXPECT_FALSE(r.auxiliary);
    EXPECT_FALSE(r.weights);
    EXPECT_FALSE(r.include);
    EXPECT_FALSE(r.weights_excluded);
    EXPECT_FALSE(r.core.yhat_linear);
    EXPECT_FALSE(r.solo_distribution->xi_solo);
    EXPECT_FALSE(r.solo_distribution->statistics);
    EXPECT_FALSE(r.insights->weights_concentration);
}

TEST(ResultsStore, YhatLinearIsReducedOnlyWhenItHasOneValuePerThreshold) {
    struct Case {
        Vector linear;
        std::size_t g;
        std::vector<double> expected;
    } cases[] = {
        {Vector{7.0}, 0, {7.0}},
        {Vector{7.0}, 3, {7.0}},
        {Vector{1.0, 2.0, 3.0, 4.0}, 3, {4.0}},
        {Vector{1.0, 2.0, 3.0, 4.0}, 1, {2.0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.g);
        PredictionResults r = PredictionResults::create(1, 1, 4, Vector{});
        r.core.yhat_linear = c.linear;
        res::select_threshold(r, c.g);
        EXPECT_EQ(values(*r.core.yhat_linear), c.expected);
    }
}

TEST(ResultsStore, SelectThresholdBeyondAnArrayIsAFault) {
    PredictionResults r = PredictionResults::create(2, 1, 3, Vector{});
    EXPECT_THROW(res::select_threshold(r, 3), toolbox::Fault);

    // An auxiliary part created before the threshold count grew is shorter.
    PredictionResults s = PredictionResults::create(2, 1, 1, Vector{});
    res::get_or_alloc_auxiliary(s);
    s.core = PredictionResults::create(2, 1, 3, Vector{}).core;
    EXPECT_THROW(res::select_threshold(s, 2), toolbox::Fault);

    PredictionResults w = PredictionResults::create(2, 1, 3, Vector{});
    w.weights = Matrix(2, 2, 0.5);
    EXPECT_THROW(res::select_threshold(w, 2), toolbox::Fault);
}

// Retained counts arrive as whole doubles and are truncated; a value that no
// count can be is a broken invariant.
TEST(ResultsStore, CountsAreTruncatedAndOnlyValuesOfACountPass) {
    const double below_two_to_64 = std::nextafter(toolbox::kTwoTo64, 0.0);
    EXPECT_EQ(values(res::to_counts(Vector{0.0, -0.0, -0.75, 3.0, 3.9, below_two_to_64})),
              (std::vector<std::size_t>{0, 0, 0, 3, 3, static_cast<std::size_t>(below_two_to_64)}));
    for (double v : {-1.0, toolbox::kTwoTo64, NaN, -std::numeric_limits<double>::infinity()})
        EXPECT_THROW(res::to_counts(Vector{1.0, v}), toolbox::Fault) << v;
}

TEST(ResultsStore, CopySharesTheGridMatricesAndCopiesEverythingElse) {
    const PredictionResults original = filled_store();
    PredictionResults copy = res::deep_copy(original);

    const auto& oc = *original.grid_cells;
    const auto& cc = *copy.grid_cells;
    EXPECT_EQ(cc.ysolo_cells->get(), oc.ysolo_cells->get());
    EXPECT_EQ(cc.k_cells->get(), oc.k_cells->get());
    EXPECT_EQ(cc.combi_cells->get(), oc.combi_cells->get());
    EXPECT_EQ(oc.k_cells->use_count(), 2);

    struct Owned {
        const char* name;
        const void* original;
        const void* copy;
    } owned[] = {
        {"thresholds", original.thresholds.data(), copy.thresholds.data()},
        {"yhat", original.core.yhat.data(), copy.core.yhat.data()},
        {"yhat_linear", original.core.yhat_linear->data(), copy.core.yhat_linear->data()},
        {"relevance", original.insights->relevance->data(), copy.insights->relevance->data()},
        {"variable_weights", original.grid_insights->variable_weights->data(),
         copy.grid_insights->variable_weights->data()},
        {"aux n", original.auxiliary->n.data(), copy.auxiliary->n.data()},
        {"include", original.include->data(), copy.include->data()},
        {"weights", original.weights->data(), copy.weights->data()},
        {"xi_solo", original.solo_distribution->xi_solo->data(), copy.solo_distribution->xi_solo->data()},
        {"bin_counts", original.solo_distribution->ysolo_distribution->bin_counts.data(),
         copy.solo_distribution->ysolo_distribution->bin_counts.data()},
        {"yhat_cells", oc.relevance->yhat_cells->data(), cc.relevance->yhat_cells->data()},
        {"weights_cells", oc.relevance->weights_cells->data(), cc.relevance->weights_cells->data()},
        {"maxfit_index", original.maxfit_index->data(), copy.maxfit_index->data()},
    };
    for (const auto& o : owned) EXPECT_NE(o.original, o.copy) << o.name;
    EXPECT_EQ(values(*copy.weights), values(*original.weights));
    EXPECT_FALSE(cc.similarity);

    // Changing the copy leaves the original alone, shared matrices included:
    // the writer unshares before it writes.
    copy.weights->fill(-1.0);
    res::make_mut(*copy.grid_cells->k_cells)(0, 0) = -1.0;
    EXPECT_EQ((*original.weights)(0, 0), 3000.0);
    EXPECT_EQ((**original.grid_cells->k_cells)(0, 0), 17000.0);
    EXPECT_NE(copy.grid_cells->k_cells->get(), oc.k_cells->get());
    EXPECT_EQ(oc.k_cells->use_count(), 1);

    // A sole holder writes in place.
    res::SharedMatrix alone = res::share(Matrix(2, 2, 1.0));
    const Matrix* address = alone.get();
    res::make_mut(alone)(1, 1) = 3.0;
    EXPECT_EQ(alone.get(), address);
    EXPECT_EQ((*alone)(1, 1), 3.0);
}

TEST(ResultsStore, SharedMatricesOutliveTheirFirstHolder) {
    PredictionResults* first = new PredictionResults(filled_store());
    const PredictionResults second = *first;
    delete first;
    EXPECT_EQ((**second.grid_cells->ysolo_cells)(1, 1), 16000.0 + 11.0);
    EXPECT_EQ(second.grid_cells->ysolo_cells->use_count(), 1);
}

TEST(ResultsStore, AccessorsAnswerNoneUnlessEveryHolderIsPresent) {
    PredictionResults r = PredictionResults::create(2, 2, 1, Vector{});
    using Accessor = const Vector* (*)(const PredictionResults&);
    const Accessor all[] = {res::ysolo_sigma,
                            res::ysolo_skewness,
                            res::ysolo_kurtosis,
                            res::ysolo_pearson_modality_index,
                            res::ysolo_bimodal_index,
                            res::y_solo,
                            res::maxfit_index,
                            res::variable_weights,
                            res::marginal_contribution_to_conviction,
                            res::marginal_contribution_to_prediction,
                            res::component_contribution_to_prediction,
                            res::xi_solo_composite,
                            res::weights_concentration};
    for (Accessor a : all) EXPECT_EQ(a(r), nullptr);
    // Holders present, vectors absent.
    r.solo_distribution.emplace();
    r.solo_distribution->statistics.emplace();
    r.grid_insights.emplace();
    r.insights.emplace();
    for (Accessor a : all) EXPECT_EQ(a(r), nullptr);
    // Present and empty is not absent.
    r.insights->weights_concentration = Vector{};
    ASSERT_NE(res::weights_concentration(r), nullptr);
    EXPECT_TRUE(res::weights_concentration(r)->empty());

    const PredictionResults f = filled_store();
    struct Case {
        Accessor get;
        const Vector* field;
    } cases[] = {
        {res::ysolo_sigma, &*f.solo_distribution->statistics->ysolo_sigma},
        {res::ysolo_skewness, &*f.solo_distribution->statistics->ysolo_skewness},
        {res::ysolo_kurtosis, &*f.solo_distribution->statistics->ysolo_kurtosis},
        {res::ysolo_pearson_modality_index, &*f.solo_distribution->statistics->ysolo_pearson_modality_index},
        {res::ysolo_bimodal_index, &*f.solo_distribution->statistics->ysolo_bimodal_index},
        {res::y_solo, &*f.solo_distribution->y_solo},
        {res::maxfit_index, &*f.maxfit_index},
        {res::variable_weights, &*f.grid_insights->variable_weights},
        {res::marginal_contribution_to_conviction, &*f.grid_insights->marginal_contribution_to_conviction},
        {res::marginal_contribution_to_prediction, &*f.grid_insights->marginal_contribution_to_prediction},
        {res::component_contribution_to_prediction, &*f.grid_insights->component_contribution_to_prediction},
        {res::xi_solo_composite, &*f.grid_insights->xi_solo_composite},
        {res::weights_concentration, &*f.insights->weights_concentration},
    };
    for (const auto& c : cases) EXPECT_EQ(c.get(f), c.field);
}

}  // namespace

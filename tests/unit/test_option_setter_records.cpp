// What the option setters store: each writes its own field of the record the
// handle holds, leaves every other field alone, and leaves the whole handle
// unchanged when it fails.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "../support/option_setters.hpp"
#include "ffi/options.hpp"
#include "qelcore.h"

namespace {

using namespace toolbox::enums;
using namespace toolbox::qel::models::config;
using ffi::options::record_of;
using setters::Kind;

enum Field { Operator, Type, Adj, Inv, Unit, Scale, Missing, LinReg, Verbose, FIELD_COUNT };
using Scalars = std::array<int, FIELD_COUNT>;

Scalars scalars(const PredictOptions& p) {
    return {static_cast<int>(p.censor_operator),    static_cast<int>(p.censor_type),
            static_cast<int>(p.adj_fit_multiplier), static_cast<int>(p.inv_method),
            static_cast<int>(p.censor_unit),        static_cast<int>(p.prediction_scale),
            static_cast<int>(p.missing_moments),    p.include_linear_regression,
            p.verbose};
}

// Thresholds by bit pattern, so that NaN compares equal to itself.
std::vector<std::uint64_t> threshold_bits(const PredictOptions& p) {
    std::vector<std::uint64_t> bits;
    if (!p.threshold) return bits;
    for (double v : *p.threshold) {
        std::uint64_t b = 0;
        std::memcpy(&b, &v, sizeof b);
        bits.push_back(b);
    }
    return bits;
}

// Everything of a grid record outside its prediction record.
struct GridOwn {
    RetainGridObjects retain;
    std::size_t k, max_iter;
    std::vector<double> combi;
    std::size_t combi_rows, combi_cols;
    std::uint32_t seed;
    bool adjust;
    InnerParallel inner;
    bool operator==(const GridOwn&) const = default;
};
GridOwn own(const GridOptions& g) {
    GridOwn o{g.retain_grid_objects, g.k, g.max_iter, {}, 0, 0, g.seed, g.adjust_impact_for_missing, g.inner_parallel};
    if (g.attribute_combi) {
        o.combi.assign(g.attribute_combi->flat().begin(), g.attribute_combi->flat().end());
        o.combi_rows = g.attribute_combi->rows();
        o.combi_cols = g.attribute_combi->cols();
    }
    return o;
}

struct StoredOptions : ::testing::Test {
    QelPredictOptions* p = qel_predict_options_create();
    QelGridOptions* g = qel_grid_options_create();
    QelMaxFitOptions* m = qel_maxfit_options_create();
    void TearDown() override {
        qel_predict_options_free(p);
        qel_grid_options_free(g);
        qel_maxfit_options_free(m);
    }
    const PredictOptions& pr() const { return *record_of(p); }
    const GridOptions& gr() const { return *record_of(g); }
    const MaxFitOptions& mr() const { return *record_of(m); }
    void* of(setters::Kind kind) const { return setters::handle_of(kind, p, g, m); }
};

TEST_F(StoredOptions, AccessorsReadTheRecordInPlace) {
    EXPECT_EQ(record_of(static_cast<QelPredictOptions*>(nullptr)), nullptr);
    EXPECT_EQ(record_of(static_cast<QelGridOptions*>(nullptr)), nullptr);
    EXPECT_EQ(record_of(static_cast<QelMaxFitOptions*>(nullptr)), nullptr);
    EXPECT_EQ(record_of(p), &p->record);
    EXPECT_EQ(record_of(g), &g->record);
    EXPECT_EQ(record_of(m), &m->record);
}

TEST_F(StoredOptions, CreatedHandlesHoldTheRecordDefaults) {
    const PredictOptions predict_defaults;
    EXPECT_EQ(scalars(pr()), scalars(predict_defaults));
    EXPECT_EQ(threshold_bits(pr()), threshold_bits(predict_defaults));
    EXPECT_FALSE(pr().cov_inv.has_value());

    const GridOptions grid_defaults;
    EXPECT_EQ(own(gr()), own(grid_defaults));
    EXPECT_EQ(scalars(gr().predict), scalars(grid_defaults.predict));
    EXPECT_EQ(threshold_bits(gr().predict), threshold_bits(grid_defaults.predict));

    const MaxFitOptions maxfit_defaults;
    EXPECT_EQ(mr().objective, maxfit_defaults.objective);
    EXPECT_EQ(mr().inner_parallel, maxfit_defaults.inner_parallel);
    EXPECT_EQ(scalars(mr().predict), scalars(maxfit_defaults.predict));
    EXPECT_EQ(threshold_bits(mr().predict), threshold_bits(maxfit_defaults.predict));
}

// A setter given a handle of another kind stores nothing, not even where its
// own kind's field would lie: every record keeps its defaults.
TEST_F(StoredOptions, SettersGivenAHandleOfAnotherKindStoreNothing) {
    const double values[] = {0.1, 0.9};
    auto as_predict = [](void* h) { return static_cast<QelPredictOptions*>(h); };
    auto as_grid = [](void* h) { return static_cast<QelGridOptions*>(h); };
    auto as_maxfit = [](void* h) { return static_cast<QelMaxFitOptions*>(h); };
    const std::vector<std::function<int32_t(void*)>> predict_setters = {
        [&](void* h) { return qel_predict_options_set_threshold(as_predict(h), values, 2); },
        [&](void* h) { return qel_predict_options_set_inv_method(as_predict(h), 2); },
        [&](void* h) { return qel_predict_options_set_verbose(as_predict(h), 1); },
        [&](void* h) { return qel_predict_options_set_censor_unit_str(as_predict(h), "score"); },
    };
    const std::vector<std::function<int32_t(void*)>> grid_setters = {
        [&](void* h) { return qel_grid_options_set_threshold(as_grid(h), values, 2); },
        [&](void* h) { return qel_grid_options_set_k(as_grid(h), 3); },
        [&](void* h) { return qel_grid_options_set_seed(as_grid(h), 7); },
        [&](void* h) { return qel_grid_options_set_attribute_combi(as_grid(h), values, 1, 2, 0); },
        [&](void* h) { return qel_grid_options_set_verbose(as_grid(h), 1); },
    };
    const std::vector<std::function<int32_t(void*)>> maxfit_setters = {
        [&](void* h) { return qel_maxfit_options_set_threshold(as_maxfit(h), values, 2); },
        [&](void* h) { return qel_maxfit_options_set_objective(as_maxfit(h), "fit"); },
        [&](void* h) { return qel_maxfit_options_set_missing_moments(as_maxfit(h), 1); },
        [&](void* h) { return qel_maxfit_options_set_verbose(as_maxfit(h), 1); },
    };
    for (const auto& set : predict_setters) {
        EXPECT_EQ(set(g), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(set(m), QEL_STATUS_INVALID_VALUE);
    }
    for (const auto& set : grid_setters) {
        EXPECT_EQ(set(p), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(set(m), QEL_STATUS_INVALID_VALUE);
    }
    for (const auto& set : maxfit_setters) {
        EXPECT_EQ(set(p), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(set(g), QEL_STATUS_INVALID_VALUE);
    }
    const PredictOptions predict_defaults;
    const GridOptions grid_defaults;
    const MaxFitOptions maxfit_defaults;
    EXPECT_EQ(scalars(pr()), scalars(predict_defaults));
    EXPECT_EQ(threshold_bits(pr()), threshold_bits(predict_defaults));
    EXPECT_EQ(own(gr()), own(grid_defaults));
    EXPECT_EQ(scalars(gr().predict), scalars(grid_defaults.predict));
    EXPECT_EQ(threshold_bits(gr().predict), threshold_bits(grid_defaults.predict));
    EXPECT_EQ(mr().objective, maxfit_defaults.objective);
    EXPECT_EQ(scalars(mr().predict), scalars(maxfit_defaults.predict));
    EXPECT_EQ(threshold_bits(mr().predict), threshold_bits(maxfit_defaults.predict));
}

// One case: a setter of the embedded prediction record, a value it takes and
// what it stores there, and optionally a value it refuses.
struct PredictCase {
    const char* name;
    std::function<int32_t(int32_t)> set;
    Field field;
    int32_t value;
    int stored;
    std::optional<int32_t> refused;
};

void run_predict_cases(const std::vector<PredictCase>& cases, const std::function<const PredictOptions&()>& record,
                       const std::function<void()>& check_rest) {
    for (const auto& c : cases) {
        Scalars want = scalars(record());
        want[c.field] = c.stored;
        const auto thresholds = threshold_bits(record());
        EXPECT_EQ(c.set(c.value), QEL_STATUS_OK) << c.name;
        EXPECT_EQ(scalars(record()), want) << c.name << " " << c.value;
        if (c.refused) {
            EXPECT_EQ(c.set(*c.refused), QEL_STATUS_INVALID_VALUE) << c.name;
            EXPECT_EQ(scalars(record()), want) << c.name << " refused " << *c.refused;
        }
        EXPECT_EQ(threshold_bits(record()), thresholds) << c.name;
        check_rest();
    }
}

TEST_F(StoredOptions, PredictSettersStoreTheirOwnField) {
    const std::vector<PredictCase> cases = {
        {"censor_operator", [&](int32_t v) { return qel_predict_options_set_censor_operator(p, v); }, Operator, 1, 1, 4},
        {"censor_operator", [&](int32_t v) { return qel_predict_options_set_censor_operator(p, v); }, Operator, 3, 3, -1},
        {"censor_type", [&](int32_t v) { return qel_predict_options_set_censor_type(p, v); }, Type, 1, 1, 2},
        {"censor_unit", [&](int32_t v) { return qel_predict_options_set_censor_unit(p, v); }, Unit, 0, 0, 2},
        {"adj_fit_multiplier", [&](int32_t v) { return qel_predict_options_set_adj_fit_multiplier(p, v); }, Adj, 2, 2, 3},
        {"inv_method", [&](int32_t v) { return qel_predict_options_set_inv_method(p, v); }, Inv, 1, 1, 3},
        {"prediction_scale", [&](int32_t v) { return qel_predict_options_set_prediction_scale(p, v); }, Scale, 1, 1, 2},
        {"missing_moments", [&](int32_t v) { return qel_predict_options_set_missing_moments(p, v); }, Missing, 1, 1, 2},
        {"verify_missing_data", [&](int32_t v) { return qel_predict_options_set_verify_missing_data(p, v); }, Missing,
         0, 0, std::nullopt},
        {"verify_missing_data", [&](int32_t v) { return qel_predict_options_set_verify_missing_data(p, v); }, Missing,
         7, 1, std::nullopt},
        {"include_linear_regression",
         [&](int32_t v) { return qel_predict_options_set_include_linear_regression(p, v); }, LinReg, -3, 1,
         std::nullopt},
        {"verbose", [&](int32_t v) { return qel_predict_options_set_verbose(p, v); }, Verbose, 1, 1, std::nullopt},
        {"verbose", [&](int32_t v) { return qel_predict_options_set_verbose(p, v); }, Verbose, 0, 0, std::nullopt},
    };
    run_predict_cases(cases, [&]() -> const PredictOptions& { return pr(); }, [] {});
}

// The shared setters act on the prediction record a grid or max-fit handle
// embeds and touch nothing of the handle's own settings.
TEST_F(StoredOptions, SharedSettersStoreIntoTheEmbeddedRecord) {
    const GridOwn grid_own = own(gr());
    const auto grid_rest = [&] { EXPECT_EQ(own(gr()), grid_own); };
    const std::vector<PredictCase> grid_cases = {
        {"censor_operator", [&](int32_t v) { return qel_grid_options_set_censor_operator(g, v); }, Operator, 0, 0, 4},
        {"censor_type", [&](int32_t v) { return qel_grid_options_set_censor_type(g, v); }, Type, 1, 1, 3},
        {"censor_type", [&](int32_t v) { return qel_grid_options_set_censor_type(g, v); }, Type, 2, 2, -1},
        {"censor_unit", [&](int32_t v) { return qel_grid_options_set_censor_unit(g, v); }, Unit, 0, 0, 2},
        {"adj_fit_multiplier", [&](int32_t v) { return qel_grid_options_set_adj_fit_multiplier(g, v); }, Adj, 0, 0, 3},
        {"inv_method", [&](int32_t v) { return qel_grid_options_set_inv_method(g, v); }, Inv, 2, 2, 3},
        {"prediction_scale", [&](int32_t v) { return qel_grid_options_set_prediction_scale(g, v); }, Scale, 1, 1, 2},
        {"include_linear_regression", [&](int32_t v) { return qel_grid_options_set_include_linear_regression(g, v); },
         LinReg, 1, 1, std::nullopt},
        {"verbose", [&](int32_t v) { return qel_grid_options_set_verbose(g, v); }, Verbose, 1, 1, std::nullopt},
    };
    run_predict_cases(grid_cases, [&]() -> const PredictOptions& { return gr().predict; }, grid_rest);

    const auto maxfit_rest = [&] {
        EXPECT_EQ(mr().objective, toolbox::enums::MaxFitObjective::KFit);
        EXPECT_EQ(mr().inner_parallel, InnerParallel::Auto);
    };
    const std::vector<PredictCase> maxfit_cases = {
        {"censor_operator", [&](int32_t v) { return qel_maxfit_options_set_censor_operator(m, v); }, Operator, 0, 0, 4},
        {"censor_type", [&](int32_t v) { return qel_maxfit_options_set_censor_type(m, v); }, Type, 0, 0, 3},
        {"censor_unit", [&](int32_t v) { return qel_maxfit_options_set_censor_unit(m, v); }, Unit, 0, 0, 2},
        {"adj_fit_multiplier", [&](int32_t v) { return qel_maxfit_options_set_adj_fit_multiplier(m, v); }, Adj, 2, 2,
         3},
        {"inv_method", [&](int32_t v) { return qel_maxfit_options_set_inv_method(m, v); }, Inv, 1, 1, 3},
        {"prediction_scale", [&](int32_t v) { return qel_maxfit_options_set_prediction_scale(m, v); }, Scale, 1, 1, 2},
        {"missing_moments", [&](int32_t v) { return qel_maxfit_options_set_missing_moments(m, v); }, Missing, 1, 1, 2},
        {"verify_missing_data", [&](int32_t v) { return qel_maxfit_options_set_verify_missing_data(m, v); }, Missing,
         0, 0, std::nullopt},
        {"verify_missing_data", [&](int32_t v) { return qel_maxfit_options_set_verify_missing_data(m, v); }, Missing,
         -1, 1, std::nullopt},
        {"include_linear_regression",
         [&](int32_t v) { return qel_maxfit_options_set_include_linear_regression(m, v); }, LinReg, 1, 1, std::nullopt},
        {"verbose", [&](int32_t v) { return qel_maxfit_options_set_verbose(m, v); }, Verbose, 1, 1, std::nullopt},
    };
    run_predict_cases(maxfit_cases, [&]() -> const PredictOptions& { return mr().predict; }, maxfit_rest);
}

// In order, on the same handles: each text stores the value it names, and a
// refused text leaves the value before it.
TEST_F(StoredOptions, TextSettersStoreTheParsedValue) {
    using setters::Field;
    using Read = std::function<int()>;
    const Read operator_of_p = [&] { return static_cast<int>(pr().censor_operator); };
    const Read type_of_p = [&] { return static_cast<int>(pr().censor_type); };
    const Read type_of_g = [&] { return static_cast<int>(gr().predict.censor_type); };
    const Read type_of_m = [&] { return static_cast<int>(mr().predict.censor_type); };
    const Read unit_of_p = [&] { return static_cast<int>(pr().censor_unit); };
    const Read inner_of_g = [&] { return static_cast<int>(gr().inner_parallel); };
    const Read inner_of_m = [&] { return static_cast<int>(mr().inner_parallel); };
    const Read objective_of_m = [&] { return static_cast<int>(mr().objective); };

    const auto as_int = [](auto e) { return static_cast<int>(e); };
    const struct Case {
        Kind kind;
        Field field;
        const char* text;
        int32_t status;
        const Read* read;
        int stored;
    } cases[] = {
        {Kind::Predict, Field::CensorOperator, "GTE", 0, &operator_of_p, as_int(CensorOperator::GreaterThanOrEqual)},
        {Kind::Predict, Field::CensorOperator, "lt", 0, &operator_of_p, as_int(CensorOperator::LessThan)},
        {Kind::Predict, Field::CensorOperator, "lt ", 3, &operator_of_p, as_int(CensorOperator::LessThan)},
        {Kind::Predict, Field::CensorType, "SIMILARITY", 0, &type_of_p, as_int(CensorType::Similarity)},
        {Kind::Predict, Field::CensorType, "Both", 3, &type_of_p, as_int(CensorType::Similarity)},
        {Kind::Grid, Field::CensorType, "Similarity", 0, &type_of_g, as_int(CensorType::Similarity)},
        {Kind::Grid, Field::CensorType, "BOTH", 0, &type_of_g, as_int(CensorType::Both)},
        {Kind::MaxFit, Field::CensorType, "relevance", 0, &type_of_m, as_int(CensorType::Relevance)},
        {Kind::Predict, Field::CensorUnit, "Score", 0, &unit_of_p, as_int(CensorUnit::Score)},
        {Kind::Predict, Field::CensorUnit, "PERCENT", 0, &unit_of_p, as_int(CensorUnit::Percent)},
        {Kind::Predict, Field::CensorUnit, "score\n", 3, &unit_of_p, as_int(CensorUnit::Percent)},
        {Kind::Grid, Field::InnerParallel, "SEQUENTIAL", 0, &inner_of_g, as_int(InnerParallel::Off)},
        {Kind::Grid, Field::InnerParallel, "on", 3, &inner_of_g, as_int(InnerParallel::Off)},
        {Kind::Grid, Field::InnerParallel, "Auto", 0, &inner_of_g, as_int(InnerParallel::Auto)},
        {Kind::MaxFit, Field::InnerParallel, "seq", 0, &inner_of_m, as_int(InnerParallel::Off)},
        {Kind::MaxFit, Field::InnerParallel, "AUTO", 0, &inner_of_m, as_int(InnerParallel::Auto)},
        {Kind::MaxFit, Field::Objective, "adjusted_fit", 0, &objective_of_m, as_int(MaxFitObjective::AdjustedFit)},
        {Kind::MaxFit, Field::Objective, "KFIT", 3, &objective_of_m, as_int(MaxFitObjective::AdjustedFit)},
        {Kind::MaxFit, Field::Objective, "\xff", 3, &objective_of_m, as_int(MaxFitObjective::AdjustedFit)},
    };
    for (const auto& c : cases) {
        const setters::TextSetter* s = setters::text_setter(c.kind, c.field);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->set(of(c.kind), c.text), c.status) << s->name << " [" << c.text << "]";
        EXPECT_EQ((*c.read)(), c.stored) << s->name << " [" << c.text << "]";
    }
}

// The inner-parallel codes store the setting the text names.
TEST_F(StoredOptions, InnerParallelCodesStoreTheirSetting) {
    EXPECT_EQ(qel_maxfit_options_set_inner_parallel(m, 1), 0);
    EXPECT_EQ(mr().inner_parallel, InnerParallel::Off);
    EXPECT_EQ(qel_maxfit_options_set_inner_parallel(m, 0), 0);
    EXPECT_EQ(mr().inner_parallel, InnerParallel::Auto);
    EXPECT_EQ(qel_grid_options_set_inner_parallel(g, 1), 0);
    EXPECT_EQ(gr().inner_parallel, InnerParallel::Off);
    EXPECT_EQ(qel_grid_options_set_inner_parallel(g, 2), 3);
    EXPECT_EQ(gr().inner_parallel, InnerParallel::Off);
}

TEST_F(StoredOptions, ThresholdsAreCopiedAndReplaced) {
    const double inf = std::numeric_limits<double>::infinity();
    double values[] = {-inf, -0.0, 2.5};
    ASSERT_EQ(qel_predict_options_set_threshold(p, values, 3), 0);
    values[2] = 9.0;  // the handle holds its own copy
    const PredictOptions expected_record = [&] {
        PredictOptions o;
        o.threshold = toolbox::matrix::Vector{-inf, -0.0, 2.5};
        return o;
    }();
    EXPECT_EQ(threshold_bits(pr()), threshold_bits(expected_record));

    // Refusals leave the thresholds as they were.
    const double with_nan[] = {0.5, std::nan("")};
    EXPECT_EQ(qel_predict_options_set_threshold(p, with_nan, 2), 3);
    EXPECT_EQ(qel_predict_options_set_threshold(p, values, 0), 3);
    EXPECT_EQ(qel_predict_options_set_threshold(p, nullptr, 3), 1);
    EXPECT_EQ(qel_predict_options_set_threshold(p, values, std::numeric_limits<std::size_t>::max()), 5);
    EXPECT_EQ(threshold_bits(pr()), threshold_bits(expected_record));

    const double one[] = {0.25};
    ASSERT_EQ(qel_grid_options_set_threshold(g, one, 1), 0);
    ASSERT_EQ(qel_maxfit_options_set_threshold(m, values + 1, 2), 0);
    ASSERT_TRUE(gr().predict.threshold && mr().predict.threshold);
    EXPECT_EQ(gr().predict.threshold->size(), 1u);
    EXPECT_EQ((*gr().predict.threshold)[0], 0.25);
    EXPECT_EQ(mr().predict.threshold->size(), 2u);
    EXPECT_EQ((*mr().predict.threshold)[1], 9.0);
}

TEST_F(StoredOptions, GridSettersStoreTheirOwnField) {
    GridOwn want = own(gr());
    const Scalars predict_before = scalars(gr().predict);

    ASSERT_EQ(qel_grid_options_set_k(g, 3), 0);
    want.k = 3;
    EXPECT_EQ(own(gr()), want);
    EXPECT_EQ(qel_grid_options_set_k(g, 0), 3);
    EXPECT_EQ(own(gr()), want);

    ASSERT_EQ(qel_grid_options_set_max_iter(g, 25), 0);
    want.max_iter = 25;
    EXPECT_EQ(qel_grid_options_set_max_iter(g, 0), 3);
    EXPECT_EQ(own(gr()), want);

    ASSERT_EQ(qel_grid_options_set_seed(g, -1), 0);
    want.seed = 4294967295u;
    EXPECT_EQ(own(gr()), want);
    ASSERT_EQ(qel_grid_options_set_seed(g, std::numeric_limits<int32_t>::min()), 0);
    want.seed = 2147483648u;
    EXPECT_EQ(own(gr()), want);

    ASSERT_EQ(qel_grid_options_set_adjust_impact_for_missing(g, 0), 0);
    want.adjust = false;
    EXPECT_EQ(own(gr()), want);

    ASSERT_EQ(qel_grid_options_set_retain_grid_objects_str(g, "[yhat_cells, 'k_cells', yhat_cells]"), 0);
    want.retain = RetainGridObjects::of_keys({GridRetainKey::YhatCells, GridRetainKey::KCells, GridRetainKey::YhatCells});
    EXPECT_EQ(own(gr()), want);
    EXPECT_EQ(qel_grid_options_set_retain_grid_objects_str(g, "[ysolo_cells, Bad]"), 3);
    EXPECT_EQ(own(gr()), want);  // keys before the bad one are not kept
    ASSERT_EQ(qel_grid_options_set_retain_all(g, 0), 0);
    want.retain = RetainGridObjects::none();
    EXPECT_EQ(own(gr()), want);
    ASSERT_EQ(qel_grid_options_set_retain_grid_objects_str(g, "[]"), 0);
    want.retain = RetainGridObjects::of_keys({});
    EXPECT_EQ(own(gr()), want);
    ASSERT_EQ(qel_grid_options_set_retain_all(g, 5), 0);
    want.retain = RetainGridObjects::all();
    EXPECT_EQ(own(gr()), want);
    ASSERT_EQ(qel_grid_options_set_retain_grid_objects_str(g, "  "), 0);
    want.retain = RetainGridObjects::none();
    EXPECT_EQ(own(gr()), want);

    EXPECT_EQ(scalars(gr().predict), predict_before);
}

TEST_F(StoredOptions, AttributeCombinationsInEitherLayout) {
    const double row_major[] = {1, 0, 1,  //
                                0, 1, 1};
    const double col_major[] = {1, 0,  //
                                0, 1,  //
                                1, 1};
    ASSERT_EQ(qel_grid_options_set_attribute_combi(g, col_major, 2, 3, QEL_LAYOUT_COL_MAJOR), 0);
    const GridOwn from_columns = own(gr());
    ASSERT_EQ(qel_grid_options_set_attribute_combi(g, row_major, 2, 3, QEL_LAYOUT_ROW_MAJOR), 0);
    const GridOwn from_rows = own(gr());
    EXPECT_EQ(from_rows, from_columns);
    EXPECT_EQ(from_rows.combi_rows, 2u);
    EXPECT_EQ(from_rows.combi_cols, 3u);
    EXPECT_EQ(from_rows.combi, (std::vector<double>{1, 0, 1, 0, 1, 1}));

    // Failures keep the earlier matrix.
    EXPECT_EQ(qel_grid_options_set_attribute_combi(g, row_major, 2, 3, 2), 3);
    EXPECT_EQ(qel_grid_options_set_attribute_combi(g, nullptr, 2, 3, 0), 1);
    EXPECT_EQ(qel_grid_options_set_attribute_combi(g, row_major, 0, 3, 0), 3);
    EXPECT_EQ(own(gr()), from_rows);

    // A new matrix replaces the old one whatever its shape.
    ASSERT_EQ(qel_grid_options_set_attribute_combi(g, row_major, 1, 2, 0), 0);
    EXPECT_EQ(own(gr()).combi, (std::vector<double>{1, 0}));
}

}  // namespace

// The option handles as a host sees them: create, free, and every setter's
// check order, statuses and messages.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../support/sanitized.hpp"
#include "host_results.hpp"
#include "qelcore.h"

namespace {

constexpr int32_t OK = QEL_STATUS_OK;
constexpr int32_t NUL = QEL_STATUS_NULL_POINTER;
constexpr int32_t BAD = QEL_STATUS_INVALID_VALUE;

// Leaves a message in the slot, so that a test sees whether a call cleared it.
void stain_last_error() {
    ASSERT_EQ(qel_set_percentile_value_algorithm(99), BAD);
    ASSERT_STRNE(qel_last_error(), "");
}

// One handle of each kind, freed at the end of the test.
struct Handles : ::testing::Test {
    QelPredictOptions* p = qel_predict_options_create();
    QelGridOptions* g = qel_grid_options_create();
    QelMaxFitOptions* m = qel_maxfit_options_create();
    void SetUp() override {
        ASSERT_NE(p, nullptr);
        ASSERT_NE(g, nullptr);
        ASSERT_NE(m, nullptr);
    }
    void TearDown() override {
        qel_predict_options_free(p);
        qel_grid_options_free(g);
        qel_maxfit_options_free(m);
    }
};

TEST(OptionHandleLifecycle, CreateClearsTheMessageAndFreeLeavesIt) {
    stain_last_error();
    QelPredictOptions* p = qel_predict_options_create();
    EXPECT_STREQ(qel_last_error(), "");
    stain_last_error();
    QelGridOptions* g = qel_grid_options_create();
    EXPECT_STREQ(qel_last_error(), "");
    stain_last_error();
    QelMaxFitOptions* m = qel_maxfit_options_create();
    EXPECT_STREQ(qel_last_error(), "");
    ASSERT_TRUE(p && g && m);
    EXPECT_NE(static_cast<void*>(p), static_cast<void*>(g));

    stain_last_error();
    const std::string stained = qel_last_error();
    qel_predict_options_free(p);
    qel_grid_options_free(g);
    qel_maxfit_options_free(m);
    qel_predict_options_free(nullptr);
    qel_grid_options_free(nullptr);
    qel_maxfit_options_free(nullptr);
    EXPECT_EQ(qel_last_error(), stained);
}

// Every setter, called with arguments that it would refuse on a handle of its
// own kind: the handle checks must come first.
enum class Kind { Predict, Grid, MaxFit };

QelPredictOptions* P(void* h) { return static_cast<QelPredictOptions*>(h); }
QelGridOptions* G(void* h) { return static_cast<QelGridOptions*>(h); }
QelMaxFitOptions* M(void* h) { return static_cast<QelMaxFitOptions*>(h); }

struct SetterCase {
    const char* name;
    Kind kind;
    std::function<int32_t(void*)> call;
};

const double kOne = 1.0;

const std::vector<SetterCase>& every_setter() {
    static const std::vector<SetterCase> cases = {
        {"predict threshold", Kind::Predict,
         [](void* h) { return qel_predict_options_set_threshold(P(h), nullptr, 0); }},
        {"predict censor_operator", Kind::Predict,
         [](void* h) { return qel_predict_options_set_censor_operator(P(h), 99); }},
        {"predict censor_operator_str", Kind::Predict,
         [](void* h) { return qel_predict_options_set_censor_operator_str(P(h), nullptr); }},
        {"predict censor_type", Kind::Predict, [](void* h) { return qel_predict_options_set_censor_type(P(h), 2); }},
        {"predict censor_type_str", Kind::Predict,
         [](void* h) { return qel_predict_options_set_censor_type_str(P(h), "\xff"); }},
        {"predict censor_unit", Kind::Predict, [](void* h) { return qel_predict_options_set_censor_unit(P(h), -1); }},
        {"predict censor_unit_str", Kind::Predict,
         [](void* h) { return qel_predict_options_set_censor_unit_str(P(h), nullptr); }},
        {"predict adj_fit_multiplier", Kind::Predict,
         [](void* h) { return qel_predict_options_set_adj_fit_multiplier(P(h), 3); }},
        {"predict inv_method", Kind::Predict, [](void* h) { return qel_predict_options_set_inv_method(P(h), 3); }},
        {"predict prediction_scale", Kind::Predict,
         [](void* h) { return qel_predict_options_set_prediction_scale(P(h), 2); }},
        {"predict missing_moments", Kind::Predict,
         [](void* h) { return qel_predict_options_set_missing_moments(P(h), 2); }},
        {"predict verify_missing_data", Kind::Predict,
         [](void* h) { return qel_predict_options_set_verify_missing_data(P(h), 1); }},
        {"predict include_linear_regression", Kind::Predict,
         [](void* h) { return qel_predict_options_set_include_linear_regression(P(h), 1); }},
        {"predict verbose", Kind::Predict, [](void* h) { return qel_predict_options_set_verbose(P(h), 1); }},
        {"grid threshold", Kind::Grid, [](void* h) { return qel_grid_options_set_threshold(G(h), nullptr, 0); }},
        {"grid censor_operator", Kind::Grid, [](void* h) { return qel_grid_options_set_censor_operator(G(h), 4); }},
        {"grid censor_type", Kind::Grid, [](void* h) { return qel_grid_options_set_censor_type(G(h), 3); }},
        {"grid censor_type_str", Kind::Grid,
         [](void* h) { return qel_grid_options_set_censor_type_str(G(h), nullptr); }},
        {"grid censor_unit", Kind::Grid, [](void* h) { return qel_grid_options_set_censor_unit(G(h), 2); }},
        {"grid adj_fit_multiplier", Kind::Grid,
         [](void* h) { return qel_grid_options_set_adj_fit_multiplier(G(h), -5); }},
        {"grid inv_method", Kind::Grid, [](void* h) { return qel_grid_options_set_inv_method(G(h), 7); }},
        {"grid prediction_scale", Kind::Grid, [](void* h) { return qel_grid_options_set_prediction_scale(G(h), 9); }},
        {"grid include_linear_regression", Kind::Grid,
         [](void* h) { return qel_grid_options_set_include_linear_regression(G(h), 0); }},
        {"grid verbose", Kind::Grid, [](void* h) { return qel_grid_options_set_verbose(G(h), 0); }},
        {"grid inner_parallel", Kind::Grid, [](void* h) { return qel_grid_options_set_inner_parallel(G(h), 2); }},
        {"grid inner_parallel_str", Kind::Grid,
         [](void* h) { return qel_grid_options_set_inner_parallel_str(G(h), nullptr); }},
        {"grid k", Kind::Grid, [](void* h) { return qel_grid_options_set_k(G(h), 0); }},
        {"grid max_iter", Kind::Grid, [](void* h) { return qel_grid_options_set_max_iter(G(h), 0); }},
        {"grid seed", Kind::Grid, [](void* h) { return qel_grid_options_set_seed(G(h), -1); }},
        {"grid adjust_impact_for_missing", Kind::Grid,
         [](void* h) { return qel_grid_options_set_adjust_impact_for_missing(G(h), 0); }},
        {"grid retain_all", Kind::Grid, [](void* h) { return qel_grid_options_set_retain_all(G(h), 1); }},
        {"grid retain_grid_objects_str", Kind::Grid,
         [](void* h) { return qel_grid_options_set_retain_grid_objects_str(G(h), "Bogus"); }},
        {"grid attribute_combi", Kind::Grid,
         [](void* h) { return qel_grid_options_set_attribute_combi(G(h), nullptr, 0, 0, -1); }},
        {"grid attribute_combi, valid matrix", Kind::Grid,
         [](void* h) { return qel_grid_options_set_attribute_combi(G(h), &kOne, 1, 1, 0); }},
        {"maxfit threshold", Kind::MaxFit, [](void* h) { return qel_maxfit_options_set_threshold(M(h), &kOne, 1); }},
        {"maxfit censor_operator", Kind::MaxFit,
         [](void* h) { return qel_maxfit_options_set_censor_operator(M(h), 0); }},
        {"maxfit censor_type", Kind::MaxFit, [](void* h) { return qel_maxfit_options_set_censor_type(M(h), 0); }},
        {"maxfit censor_type_str", Kind::MaxFit,
         [](void* h) { return qel_maxfit_options_set_censor_type_str(M(h), "both"); }},
        {"maxfit censor_unit", Kind::MaxFit, [](void* h) { return qel_maxfit_options_set_censor_unit(M(h), 0); }},
        {"maxfit adj_fit_multiplier", Kind::MaxFit,
         [](void* h) { return qel_maxfit_options_set_adj_fit_multiplier(M(h), 0); }},
        {"maxfit inv_method", Kind::MaxFit, [](void* h) { return qel_maxfit_options_set_inv_method(M(h), 0); }},
        {"maxfit prediction_scale", Kind::MaxFit,
         [](void* h) { return qel_maxfit_options_set_prediction_scale(M(h), 0); }},
        {"maxfit include_linear_regression", Kind::MaxFit,
         [](void* h) { return qel_maxfit_options_set_include_linear_regression(M(h), 0); }},
        {"maxfit verbose", Kind::MaxFit, [](void* h) { return qel_maxfit_options_set_verbose(M(h), 0); }},
        {"maxfit inner_parallel", Kind::MaxFit, [](void* h) { return qel_maxfit_options_set_inner_parallel(M(h), 0); }},
        {"maxfit inner_parallel_str", Kind::MaxFit,
         [](void* h) { return qel_maxfit_options_set_inner_parallel_str(M(h), "auto"); }},
        {"maxfit missing_moments", Kind::MaxFit,
         [](void* h) { return qel_maxfit_options_set_missing_moments(M(h), 5); }},
        {"maxfit verify_missing_data", Kind::MaxFit,
         [](void* h) { return qel_maxfit_options_set_verify_missing_data(M(h), 0); }},
        {"maxfit objective", Kind::MaxFit, [](void* h) { return qel_maxfit_options_set_objective(M(h), nullptr); }},
    };
    return cases;
}

// Every setter refuses a NULL handle first, whatever its other arguments.
TEST(OptionSetters, NullHandleComesFirst) {
    for (const auto& c : every_setter()) {
        stain_last_error();
        EXPECT_EQ(c.call(nullptr), NUL) << c.name;
        EXPECT_STREQ(qel_last_error(), "opts is null") << c.name;
    }
}

// The integer-code setters: codes up to the last name of the header's family
// are taken (and clear an earlier message), everything else, negative codes
// included, is refused with the code shown as passed.
TEST_F(Handles, CodeSetters) {
    using Set = std::function<int32_t(int32_t)>;
    struct Case {
        const char* name;
        Set set;
        int32_t count;
        std::string message;  // "{}" stands for the code
    } cases[] = {
        {"predict censor_operator", [&](int32_t c) { return qel_predict_options_set_censor_operator(p, c); }, QEL_CENSOR_LTE + 1,
         "invalid censor_operator: {}"},
        {"grid censor_operator", [&](int32_t c) { return qel_grid_options_set_censor_operator(g, c); }, QEL_CENSOR_LTE + 1,
         "invalid censor_operator: {}"},
        {"maxfit censor_operator", [&](int32_t c) { return qel_maxfit_options_set_censor_operator(m, c); }, QEL_CENSOR_LTE + 1,
         "invalid censor_operator: {}"},
        {"grid censor_type", [&](int32_t c) { return qel_grid_options_set_censor_type(g, c); }, QEL_CENSOR_BOTH + 1,
         "invalid censor_type: {}"},
        {"maxfit censor_type", [&](int32_t c) { return qel_maxfit_options_set_censor_type(m, c); }, QEL_CENSOR_BOTH + 1,
         "invalid censor_type: {}"},
        {"predict censor_unit", [&](int32_t c) { return qel_predict_options_set_censor_unit(p, c); }, QEL_UNIT_PERCENT + 1,
         "invalid censor_unit: {} (0=score, 1=percent)"},
        {"grid censor_unit", [&](int32_t c) { return qel_grid_options_set_censor_unit(g, c); }, QEL_UNIT_PERCENT + 1,
         "invalid censor_unit: {} (0=score, 1=percent)"},
        {"maxfit censor_unit", [&](int32_t c) { return qel_maxfit_options_set_censor_unit(m, c); }, QEL_UNIT_PERCENT + 1,
         "invalid censor_unit: {} (0=score, 1=percent)"},
        {"predict adj_fit_multiplier", [&](int32_t c) { return qel_predict_options_set_adj_fit_multiplier(p, c); },
         QEL_ADJ_FIT_LOG + 1, "invalid adj_fit_multiplier: {} (0=identity, 1=K, 2=log)"},
        {"grid adj_fit_multiplier", [&](int32_t c) { return qel_grid_options_set_adj_fit_multiplier(g, c); }, QEL_ADJ_FIT_LOG + 1,
         "invalid adj_fit_multiplier: {} (0=identity, 1=K, 2=log)"},
        {"maxfit adj_fit_multiplier", [&](int32_t c) { return qel_maxfit_options_set_adj_fit_multiplier(m, c); }, QEL_ADJ_FIT_LOG + 1,
         "invalid adj_fit_multiplier: {} (0=identity, 1=K, 2=log)"},
        {"predict inv_method", [&](int32_t c) { return qel_predict_options_set_inv_method(p, c); }, QEL_INV_PSEUDOINVERSE + 1,
         "invalid inv_method: {} (0=gaussian, 1=cholesky, 2=pseudoinverse)"},
        {"grid inv_method", [&](int32_t c) { return qel_grid_options_set_inv_method(g, c); }, QEL_INV_PSEUDOINVERSE + 1,
         "invalid inv_method: {} (0=gaussian, 1=cholesky, 2=pseudoinverse)"},
        {"maxfit inv_method", [&](int32_t c) { return qel_maxfit_options_set_inv_method(m, c); }, QEL_INV_PSEUDOINVERSE + 1,
         "invalid inv_method: {} (0=gaussian, 1=cholesky, 2=pseudoinverse)"},
        {"predict prediction_scale", [&](int32_t c) { return qel_predict_options_set_prediction_scale(p, c); }, QEL_SCALE_LOGISTIC + 1,
         "invalid prediction_scale: {} (0=response, 1=logistic)"},
        {"grid prediction_scale", [&](int32_t c) { return qel_grid_options_set_prediction_scale(g, c); }, QEL_SCALE_LOGISTIC + 1,
         "invalid prediction_scale: {} (0=response, 1=logistic)"},
        {"maxfit prediction_scale", [&](int32_t c) { return qel_maxfit_options_set_prediction_scale(m, c); }, QEL_SCALE_LOGISTIC + 1,
         "invalid prediction_scale: {} (0=response, 1=logistic)"},
        {"predict missing_moments", [&](int32_t c) { return qel_predict_options_set_missing_moments(p, c); }, QEL_MISSING_COMPLETE + 1,
         "invalid missing_moments: {} (0=pairwise, 1=complete)"},
        {"maxfit missing_moments", [&](int32_t c) { return qel_maxfit_options_set_missing_moments(m, c); }, QEL_MISSING_COMPLETE + 1,
         "invalid missing_moments: {} (0=pairwise, 1=complete)"},
        {"grid inner_parallel", [&](int32_t c) { return qel_grid_options_set_inner_parallel(g, c); }, QEL_INNER_PARALLEL_OFF + 1,
         "invalid inner_parallel: {}; expected 0=auto or 1=off"},
        {"maxfit inner_parallel", [&](int32_t c) { return qel_maxfit_options_set_inner_parallel(m, c); }, QEL_INNER_PARALLEL_OFF + 1,
         "invalid inner_parallel: {}; expected 0=auto or 1=off"},
    };
    for (const auto& c : cases) {
        for (int32_t code = 0; code < c.count; ++code) {
            stain_last_error();
            EXPECT_EQ(c.set(code), OK) << c.name << " " << code;
            EXPECT_STREQ(qel_last_error(), "") << c.name << " " << code;
        }
        for (int32_t code : {c.count, c.count + 1, -1, std::numeric_limits<int32_t>::min(),
                             std::numeric_limits<int32_t>::max()}) {
            std::string want = c.message;
            want.replace(want.find("{}"), 2, std::to_string(code));
            EXPECT_EQ(c.set(code), BAD) << c.name << " " << code;
            EXPECT_EQ(qel_last_error(), want) << c.name << " " << code;
        }
    }
}

TEST_F(Handles, PredictCensorTypeRefusesBoth) {
    struct Case {
        int32_t code;
        int32_t status;
        const char* message;
    } cases[] = {
        {0, OK, ""},
        {1, OK, ""},
        {2, BAD, "CensorType::Both is not valid for predict; use 0=relevance or 1=similarity"},
        {3, BAD, "invalid censor_type: 3"},
        {-1, BAD, "invalid censor_type: -1"},
        {-2147483647 - 1, BAD, "invalid censor_type: -2147483648"},
    };
    for (const auto& c : cases) {
        stain_last_error();
        EXPECT_EQ(qel_predict_options_set_censor_type(p, c.code), c.status) << c.code;
        EXPECT_STREQ(qel_last_error(), c.message) << c.code;
    }
}

// Flag setters take every value.
TEST_F(Handles, FlagSettersNeverFail) {
    using Set = std::function<int32_t(int32_t)>;
    const std::pair<const char*, Set> cases[] = {
        {"predict verify_missing_data", [&](int32_t f) { return qel_predict_options_set_verify_missing_data(p, f); }},
        {"maxfit verify_missing_data", [&](int32_t f) { return qel_maxfit_options_set_verify_missing_data(m, f); }},
        {"predict include_linear_regression",
         [&](int32_t f) { return qel_predict_options_set_include_linear_regression(p, f); }},
        {"grid include_linear_regression",
         [&](int32_t f) { return qel_grid_options_set_include_linear_regression(g, f); }},
        {"maxfit include_linear_regression",
         [&](int32_t f) { return qel_maxfit_options_set_include_linear_regression(m, f); }},
        {"predict verbose", [&](int32_t f) { return qel_predict_options_set_verbose(p, f); }},
        {"grid verbose", [&](int32_t f) { return qel_grid_options_set_verbose(g, f); }},
        {"maxfit verbose", [&](int32_t f) { return qel_maxfit_options_set_verbose(m, f); }},
        {"grid seed", [&](int32_t f) { return qel_grid_options_set_seed(g, f); }},
        {"grid adjust_impact_for_missing",
         [&](int32_t f) { return qel_grid_options_set_adjust_impact_for_missing(g, f); }},
        {"grid retain_all", [&](int32_t f) { return qel_grid_options_set_retain_all(g, f); }},
    };
    for (const auto& [name, set] : cases) {
        for (int32_t value : {0, 1, 7, -1, std::numeric_limits<int32_t>::min()}) {
            stain_last_error();
            EXPECT_EQ(set(value), OK) << name << " " << value;
            EXPECT_STREQ(qel_last_error(), "") << name << " " << value;
        }
    }
}

// Every text setter checks the pointer and the encoding before parsing.
TEST_F(Handles, TextSettersCheckPointerThenEncoding) {
    using Set = std::function<int32_t(const char*)>;
    const std::pair<const char*, Set> cases[] = {
        {"predict censor_operator_str", [&](const char* t) { return qel_predict_options_set_censor_operator_str(p, t); }},
        {"predict censor_type_str", [&](const char* t) { return qel_predict_options_set_censor_type_str(p, t); }},
        {"grid censor_type_str", [&](const char* t) { return qel_grid_options_set_censor_type_str(g, t); }},
        {"maxfit censor_type_str", [&](const char* t) { return qel_maxfit_options_set_censor_type_str(m, t); }},
        {"predict censor_unit_str", [&](const char* t) { return qel_predict_options_set_censor_unit_str(p, t); }},
        {"grid inner_parallel_str", [&](const char* t) { return qel_grid_options_set_inner_parallel_str(g, t); }},
        {"maxfit inner_parallel_str", [&](const char* t) { return qel_maxfit_options_set_inner_parallel_str(m, t); }},
        {"grid retain_grid_objects_str",
         [&](const char* t) { return qel_grid_options_set_retain_grid_objects_str(g, t); }},
        {"maxfit objective", [&](const char* t) { return qel_maxfit_options_set_objective(m, t); }},
    };
    for (const auto& [name, set] : cases) {
        stain_last_error();
        EXPECT_EQ(set(nullptr), NUL) << name;
        EXPECT_STREQ(qel_last_error(), "expected non-null C string") << name;
        for (const char* bad : {"\xff", "fit\xc3", "\xed\xa0\x80", "\xc0\xaf", "both\x80"}) {
            EXPECT_EQ(set(bad), BAD) << name;
            EXPECT_STREQ(qel_last_error(), "C string is not valid UTF-8") << name;
        }
    }
}

// Accepted and refused words of every text setter; a refused text is quoted
// exactly as passed.
TEST_F(Handles, TextSetterWords) {
    using Set = std::function<int32_t(const char*)>;
    const Set predict_operator = [&](const char* t) { return qel_predict_options_set_censor_operator_str(p, t); };
    const Set predict_type = [&](const char* t) { return qel_predict_options_set_censor_type_str(p, t); };
    const Set grid_type = [&](const char* t) { return qel_grid_options_set_censor_type_str(g, t); };
    const Set maxfit_type = [&](const char* t) { return qel_maxfit_options_set_censor_type_str(m, t); };
    const Set predict_unit = [&](const char* t) { return qel_predict_options_set_censor_unit_str(p, t); };
    const Set grid_inner = [&](const char* t) { return qel_grid_options_set_inner_parallel_str(g, t); };
    const Set maxfit_inner = [&](const char* t) { return qel_maxfit_options_set_inner_parallel_str(m, t); };
    const Set objective = [&](const char* t) { return qel_maxfit_options_set_objective(m, t); };
    const Set retain = [&](const char* t) { return qel_grid_options_set_retain_grid_objects_str(g, t); };
    const std::string keys =
        "Valid keys: yhat_cells, adjusted_fit_cells, n_cells, weights_cells, k_cells, combi_cells, "
        "ysolo_distribution, ysolo_cells";
    struct Case {
        const char* name;
        const Set* set;
        const char* text;
        int32_t status;
        std::string message;
    } cases[] = {
        {"operator", &predict_operator, "GTE", OK, ""},
        {"operator", &predict_operator, "Less_Than_Or_Equal_To", OK, ""},
        {"operator", &predict_operator, "<", OK, ""},
        {"operator", &predict_operator, " gt", BAD, "invalid censor_operator string:  gt"},
        {"operator", &predict_operator, "Equal", BAD, "invalid censor_operator string: Equal"},
        {"operator", &predict_operator, "", BAD, "invalid censor_operator string: "},
        {"predict type", &predict_type, "Similarity", OK, ""},
        {"predict type", &predict_type, "BOTH", BAD, "censor_type 'both' is not valid for predict"},
        {"predict type", &predict_type, "bOtH", BAD, "censor_type 'both' is not valid for predict"},
        {"predict type", &predict_type, "both ", BAD, "invalid censor_type string: both "},
        {"predict type", &predict_type, "Relevancy", BAD, "invalid censor_type string: Relevancy"},
        {"grid type", &grid_type, "BOTH", OK, ""},
        {"grid type", &grid_type, "relevance", OK, ""},
        {"grid type", &grid_type, "\tboth", BAD, "invalid censor_type string: \tboth"},
        {"maxfit type", &maxfit_type, "Both", OK, ""},
        {"maxfit type", &maxfit_type, "2", BAD, "invalid censor_type string: 2"},
        {"unit", &predict_unit, "PERCENT", OK, ""},
        {"unit", &predict_unit, "Score", OK, ""},
        {"unit", &predict_unit, "percent ", BAD, "invalid censor_unit string: percent "},
        {"unit", &predict_unit, "1", BAD, "invalid censor_unit string: 1"},
        {"grid inner", &grid_inner, "SEQUENTIAL", OK, ""},
        {"grid inner", &grid_inner, "Auto", OK, ""},
        {"grid inner", &grid_inner, "on", BAD, "invalid inner_parallel string: 'on'; expected 'auto' or 'off'"},
        {"grid inner", &grid_inner, "1", BAD, "invalid inner_parallel string: '1'; expected 'auto' or 'off'"},
        {"maxfit inner", &maxfit_inner, "false", OK, ""},
        {"maxfit inner", &maxfit_inner, "True", BAD, "invalid inner_parallel string: 'True'; expected 'auto' or 'off'"},
        {"maxfit inner", &maxfit_inner, " off", BAD, "invalid inner_parallel string: ' off'; expected 'auto' or 'off'"},
        {"objective", &objective, "fit", OK, ""},
        {"objective", &objective, "adjusted_fit", OK, ""},
        {"objective", &objective, "kfit", OK, ""},
        {"objective", &objective, "KFIT", BAD, "objective must be 'fit', 'adjusted_fit', or 'kfit'; got 'KFIT'"},
        {"objective", &objective, " fit", BAD, "objective must be 'fit', 'adjusted_fit', or 'kfit'; got ' fit'"},
        {"objective", &objective, "\xc3\xa9", BAD, "objective must be 'fit', 'adjusted_fit', or 'kfit'; got '\xc3\xa9'"},
        {"retain", &retain, " [yhat_cells, 'k_cells'] ", OK, ""},
        {"retain", &retain, "TRUE", OK, ""},
        {"retain", &retain, "[]", OK, ""},
        {"retain", &retain, "", OK, ""},
        {"retain", &retain, "[yhat_cells, Combi_cells]", BAD,
         "Invalid retain_grid_objects key: 'Combi_cells'. " + keys},
        {"retain", &retain, "everything", BAD, "Invalid retain_grid_objects key: 'everything'. " + keys},
    };
    for (const auto& c : cases) {
        stain_last_error();
        EXPECT_EQ((*c.set)(c.text), c.status) << c.name << " [" << c.text << "]";
        EXPECT_EQ(qel_last_error(), c.message) << c.name << " [" << c.text << "]";
    }
}

TEST_F(Handles, ThresholdSetters) {
    using Set = std::function<int32_t(const double*, size_t)>;
    const std::pair<const char*, Set> cases[] = {
        {"predict", [&](const double* v, size_t n) { return qel_predict_options_set_threshold(p, v, n); }},
        {"grid", [&](const double* v, size_t n) { return qel_grid_options_set_threshold(g, v, n); }},
        {"maxfit", [&](const double* v, size_t n) { return qel_maxfit_options_set_threshold(m, v, n); }},
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double values[] = {-std::numeric_limits<double>::infinity(), -3.0, 1.5};
    const double with_nan[] = {0.2, 0.5, nan};
    for (const auto& [name, set] : cases) {
        EXPECT_EQ(set(nullptr, 0), NUL) << name;  // the pointer test comes first
        EXPECT_STREQ(qel_last_error(), "threshold values pointer is null") << name;
        EXPECT_EQ(set(nullptr, 3), NUL) << name;
        EXPECT_STREQ(qel_last_error(), "threshold values pointer is null") << name;
        EXPECT_EQ(set(values, 0), BAD) << name;
        EXPECT_STREQ(qel_last_error(), "threshold length must be non-zero") << name;
        EXPECT_EQ(set(values, 3), OK) << name;  // any number, in any unit
        EXPECT_STREQ(qel_last_error(), "") << name;
        // A NaN threshold is no cut-off.
        EXPECT_EQ(set(with_nan, 3), BAD) << name;
        EXPECT_STREQ(qel_last_error(), "threshold values[2] is NaN: every threshold must be a number") << name;
        EXPECT_EQ(set(with_nan + 2, 1), BAD) << name;
        EXPECT_STREQ(qel_last_error(), "threshold values[0] is NaN: every threshold must be a number") << name;
        // A length whose copy cannot be allocated is reported, not fatal.
        EXPECT_EQ(set(with_nan, std::numeric_limits<size_t>::max()), QEL_STATUS_COMPUTE_FAILED) << name;
        EXPECT_NE(std::string(qel_last_error()).find("out of memory"), std::string::npos) << qel_last_error();
    }
}

TEST_F(Handles, GridCountsAndCombinations) {
    stain_last_error();
    EXPECT_EQ(qel_grid_options_set_k(g, 0), BAD);
    EXPECT_STREQ(qel_last_error(), "k must be > 0");
    EXPECT_EQ(qel_grid_options_set_k(g, 3), OK);
    EXPECT_STREQ(qel_last_error(), "");
    EXPECT_EQ(qel_grid_options_set_max_iter(g, 0), BAD);
    EXPECT_STREQ(qel_last_error(), "max_iter must be > 0");
    EXPECT_EQ(qel_grid_options_set_max_iter(g, std::numeric_limits<size_t>::max()), OK);
    EXPECT_STREQ(qel_last_error(), "");

    const double combi[] = {1, 0, 1, 1, 1, 0};
    struct Case {
        const double* values;
        size_t rows, cols;
        int32_t layout;
        int32_t status;
        const char* message;
    } cases[] = {
        {combi, 2, 3, 0, OK, ""},
        {combi, 3, 2, 1, OK, ""},
        {nullptr, 2, 3, 0, NUL, "matrix pointer is null"},
        // The layout is tested before the matrix is looked at.
        {nullptr, 0, 0, -1, BAD, "invalid QelLayout value: -1 (use 0=row-major, 1=col-major)"},
        {combi, 2, 3, 2, BAD, "invalid QelLayout value: 2 (use 0=row-major, 1=col-major)"},
        {combi, 0, 3, 0, BAD, "matrix dimensions must be non-zero"},
        {combi, 2, 0, 1, BAD, "matrix dimensions must be non-zero"},
        {combi, size_t{1} << 32, size_t{1} << 32, 0, BAD, "matrix dimensions overflow"},
    };
    for (const auto& c : cases) {
        stain_last_error();
        EXPECT_EQ(qel_grid_options_set_attribute_combi(g, c.values, c.rows, c.cols, c.layout), c.status)
            << c.rows << "x" << c.cols << " layout " << c.layout;
        EXPECT_STREQ(qel_last_error(), c.message) << c.rows << "x" << c.cols << " layout " << c.layout;
    }
}

// Handles of one kind are independent objects: many may live at once and be
// changed from different threads, each thread seeing its own messages.
TEST(OptionHandleLifecycle, ManyHandlesOnManyThreads) {
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 200; ++i) {
                QelGridOptions* g = qel_grid_options_create();
                const int32_t k = (i + t) % 3;  // 0 is refused
                const int32_t status = qel_grid_options_set_k(g, static_cast<size_t>(k));
                const std::string want = k == 0 ? "k must be > 0" : "";
                if (status != (k == 0 ? BAD : OK) || qel_last_error() != want) ++failures[t];
                qel_grid_options_free(g);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(failures[t], 0) << t;
}

// --- handles of another kind ---
//
// The C types keep the kinds apart, but the options slot of QelModelCallArgs
// is `const void*` and a cast is easy. Every export that takes an option
// handle refuses one of another kind before it reads or writes anything.

const char* const kKindName[] = {"predict", "grid", "max-fit"};

std::string foreign(Kind k) {
    return std::string("options is not a ") + kKindName[static_cast<int>(k)] + " options handle";
}

TEST_F(Handles, SettersRefuseAHandleOfAnotherKindBeforeTheirArguments) {
    void* const of_kind[] = {p, g, m};
    for (const auto& c : every_setter()) {
        for (int other = 0; other < 3; ++other) {
            if (other == static_cast<int>(c.kind)) continue;
            stain_last_error();
            EXPECT_EQ(c.call(of_kind[other]), BAD) << c.name << " given a " << kKindName[other] << " handle";
            EXPECT_EQ(qel_last_error(), foreign(c.kind)) << c.name << " given a " << kKindName[other] << " handle";
        }
    }
}

TEST_F(Handles, ModelCallsRefuseAHandleOfAnotherKind) {
    const host::Sample s = host::normal_sample(30, 2, 5);
    using Call = std::function<int32_t(const void*, QelPredictionResults**)>;
    auto record = [&](const void* h, QelPredictionResults** out) {
        return QelModelCallArgs{s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, h,
                                out};
    };
    const struct {
        const char* name;
        Kind kind;
        Call call;
    } calls[] = {
        {"qel_predict", Kind::Predict,
         [&](const void* h, QelPredictionResults** out) {
             return qel_predict(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k,
                                static_cast<const QelPredictOptions*>(h), out);
         }},
        {"qel_grid", Kind::Grid,
         [&](const void* h, QelPredictionResults** out) {
             return qel_grid(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k,
                             static_cast<const QelGridOptions*>(h), out);
         }},
        {"qel_maxfit", Kind::MaxFit,
         [&](const void* h, QelPredictionResults** out) {
             return qel_maxfit(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k,
                               static_cast<const QelMaxFitOptions*>(h), out);
         }},
        {"qel_predict_call", Kind::Predict,
         [&](const void* h, QelPredictionResults** out) {
             const QelModelCallArgs args = record(h, out);
             return qel_predict_call(&args);
         }},
        {"qel_grid_call", Kind::Grid,
         [&](const void* h, QelPredictionResults** out) {
             const QelModelCallArgs args = record(h, out);
             return qel_grid_call(&args);
         }},
        {"qel_maxfit_call", Kind::MaxFit,
         [&](const void* h, QelPredictionResults** out) {
             const QelModelCallArgs args = record(h, out);
             return qel_maxfit_call(&args);
         }},
    };
    const void* const of_kind[] = {p, g, m};
    for (const auto& c : calls) {
        for (int other = 0; other < 3; ++other) {
            const std::string where = std::string(c.name) + " given a " + kKindName[other] + " handle";
            host::Results res;
            res.handle = reinterpret_cast<QelPredictionResults*>(&res);  // not NULL on entry
            if (other == static_cast<int>(c.kind)) {
                EXPECT_EQ(c.call(of_kind[other], &res.handle), OK) << where << ": " << qel_last_error();
                continue;
            }
            EXPECT_EQ(c.call(of_kind[other], &res.handle), BAD) << where;
            EXPECT_EQ(qel_last_error(), foreign(c.kind)) << where;
            EXPECT_EQ(res.handle, nullptr) << where;
        }
    }
}

// Freeing a handle as another kind would release it with the wrong layout;
// the free call leaves it alone, and the handle keeps working.
TEST_F(Handles, FreeLeavesAHandleOfAnotherKindAlone) {
    qel_grid_options_free(reinterpret_cast<QelGridOptions*>(p));
    qel_maxfit_options_free(reinterpret_cast<QelMaxFitOptions*>(p));
    qel_predict_options_free(reinterpret_cast<QelPredictOptions*>(g));
    qel_maxfit_options_free(reinterpret_cast<QelMaxFitOptions*>(g));
    qel_predict_options_free(reinterpret_cast<QelPredictOptions*>(m));
    qel_grid_options_free(reinterpret_cast<QelGridOptions*>(m));
    EXPECT_EQ(qel_predict_options_set_verbose(p, 0), OK);
    EXPECT_EQ(qel_grid_options_set_k(g, 2), OK);
    EXPECT_EQ(qel_maxfit_options_set_objective(m, "fit"), OK);
    const host::Sample s = host::normal_sample(30, 2, 6);
    host::Results res;
    EXPECT_EQ(qel_predict(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, p,
                          &res.handle),
              OK)
        << qel_last_error();
}

// A released handle no longer carries its tag, so a call that is given it by
// mistake is refused, and a second free is ignored, as long as the memory has
// not been handed out again. (Reading released memory is what sanitizers
// report, so the check runs only without them.)
TEST(OptionHandleLifecycle, AReleasedHandleIsRefusedWhereItCanBeTold) {
#ifdef QEL_TEST_SANITIZED
    GTEST_SKIP() << "reads released memory on purpose";
#else
    QelPredictOptions* p = qel_predict_options_create();
    QelGridOptions* g = qel_grid_options_create();
    QelMaxFitOptions* m = qel_maxfit_options_create();
    qel_predict_options_free(p);
    qel_grid_options_free(g);
    qel_maxfit_options_free(m);
    EXPECT_EQ(qel_predict_options_set_verbose(p, 1), BAD);
    EXPECT_EQ(qel_last_error(), foreign(Kind::Predict));
    EXPECT_EQ(qel_grid_options_set_verbose(g, 1), BAD);
    EXPECT_EQ(qel_last_error(), foreign(Kind::Grid));
    EXPECT_EQ(qel_maxfit_options_set_verbose(m, 1), BAD);
    EXPECT_EQ(qel_last_error(), foreign(Kind::MaxFit));
    qel_predict_options_free(p);
    qel_grid_options_free(g);
    qel_maxfit_options_free(m);
#endif
}

}  // namespace

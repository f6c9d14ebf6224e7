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

#include "../support/option_setters.hpp"
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
    void* of(setters::Kind kind) const { return setters::handle_of(kind, p, g, m); }
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
// own kind and with some it would take: the handle checks must come first.
using setters::Kind;

QelPredictOptions* P(void* h) { return static_cast<QelPredictOptions*>(h); }
QelGridOptions* G(void* h) { return static_cast<QelGridOptions*>(h); }
QelMaxFitOptions* M(void* h) { return static_cast<QelMaxFitOptions*>(h); }

struct SetterCase {
    std::string name;
    Kind kind;
    std::function<int32_t(void*)> call;
};

const double kOne = 1.0;

const std::vector<SetterCase>& every_setter() {
    static const std::vector<SetterCase> cases = [] {
        std::vector<SetterCase> all = {
            {"predict threshold", Kind::Predict,
             [](void* h) { return qel_predict_options_set_threshold(P(h), nullptr, 0); }},
            {"predict censor_type", Kind::Predict,
             [](void* h) { return qel_predict_options_set_censor_type(P(h), 2); }},
            {"grid threshold", Kind::Grid, [](void* h) { return qel_grid_options_set_threshold(G(h), nullptr, 0); }},
            {"grid k", Kind::Grid, [](void* h) { return qel_grid_options_set_k(G(h), 0); }},
            {"grid max_iter", Kind::Grid, [](void* h) { return qel_grid_options_set_max_iter(G(h), 0); }},
            {"grid attribute_combi", Kind::Grid,
             [](void* h) { return qel_grid_options_set_attribute_combi(G(h), nullptr, 0, 0, -1); }},
            {"grid attribute_combi, valid matrix", Kind::Grid,
             [](void* h) { return qel_grid_options_set_attribute_combi(G(h), &kOne, 1, 1, 0); }},
            {"maxfit threshold", Kind::MaxFit,
             [](void* h) { return qel_maxfit_options_set_threshold(M(h), &kOne, 1); }},
        };
        for (const auto& s : setters::kCodeSetters) {
            for (const int32_t code : {s.count, -1, 0}) {
                all.push_back({std::string(s.name) + " " + std::to_string(code), s.kind,
                               [s, code](void* h) { return s.set(h, code); }});
            }
        }
        for (const auto& s : setters::kFlagSetters) {
            all.push_back({s.name, s.kind, [s](void* h) { return s.set(h, 1); }});
        }
        for (const char* text : {static_cast<const char*>(nullptr), "\xff", "both", "auto", "fit"}) {
            for (const auto& s : setters::kTextSetters) {
                all.push_back({std::string(s.name) + (text ? std::string(" \"") + text + "\"" : " NULL"), s.kind,
                               [s, text](void* h) { return s.set(h, text); }});
            }
        }
        return all;
    }();
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
    for (const auto& c : setters::kCodeSetters) {
        void* h = of(c.kind);
        for (int32_t code = 0; code < c.count; ++code) {
            stain_last_error();
            EXPECT_EQ(c.set(h, code), OK) << c.name << " " << code;
            EXPECT_STREQ(qel_last_error(), "") << c.name << " " << code;
        }
        for (int32_t code : {c.count, c.count + 1, -1, std::numeric_limits<int32_t>::min(),
                             std::numeric_limits<int32_t>::max()}) {
            std::string want = c.message;
            want.replace(want.find("{}"), 2, std::to_string(code));
            EXPECT_EQ(c.set(h, code), BAD) << c.name << " " << code;
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
    for (const auto& c : setters::kFlagSetters) {
        for (int32_t value : {0, 1, 7, -1, std::numeric_limits<int32_t>::min()}) {
            stain_last_error();
            EXPECT_EQ(c.set(of(c.kind), value), OK) << c.name << " " << value;
            EXPECT_STREQ(qel_last_error(), "") << c.name << " " << value;
        }
    }
}

// Every text setter checks the pointer and the encoding before parsing.
TEST_F(Handles, TextSettersCheckPointerThenEncoding) {
    for (const auto& c : setters::kTextSetters) {
        void* h = of(c.kind);
        stain_last_error();
        EXPECT_EQ(c.set(h, nullptr), NUL) << c.name;
        EXPECT_STREQ(qel_last_error(), "expected non-null C string") << c.name;
        for (const char* bad : {"\xff", "fit\xc3", "\xed\xa0\x80", "\xc0\xaf", "both\x80"}) {
            EXPECT_EQ(c.set(h, bad), BAD) << c.name;
            EXPECT_STREQ(qel_last_error(), "C string is not valid UTF-8") << c.name;
        }
    }
}

// Accepted and refused words of every text setter; a refused text is quoted
// exactly as passed.
TEST_F(Handles, TextSetterWords) {
    using setters::Field;
    const std::string keys =
        "Valid keys: yhat_cells, adjusted_fit_cells, n_cells, weights_cells, k_cells, combi_cells, "
        "ysolo_distribution, ysolo_cells";
    struct Case {
        Kind kind;
        Field field;
        const char* text;
        int32_t status;
        std::string message;
    } cases[] = {
        {Kind::Predict, Field::CensorOperator, "GTE", OK, ""},
        {Kind::Predict, Field::CensorOperator, "Less_Than_Or_Equal_To", OK, ""},
        {Kind::Predict, Field::CensorOperator, "<", OK, ""},
        {Kind::Predict, Field::CensorOperator, " gt", BAD, "invalid censor_operator string:  gt"},
        {Kind::Predict, Field::CensorOperator, "Equal", BAD, "invalid censor_operator string: Equal"},
        {Kind::Predict, Field::CensorOperator, "", BAD, "invalid censor_operator string: "},
        {Kind::Predict, Field::CensorType, "Similarity", OK, ""},
        {Kind::Predict, Field::CensorType, "BOTH", BAD, "censor_type 'both' is not valid for predict"},
        {Kind::Predict, Field::CensorType, "bOtH", BAD, "censor_type 'both' is not valid for predict"},
        {Kind::Predict, Field::CensorType, "both ", BAD, "invalid censor_type string: both "},
        {Kind::Predict, Field::CensorType, "Relevancy", BAD, "invalid censor_type string: Relevancy"},
        {Kind::Grid, Field::CensorType, "BOTH", OK, ""},
        {Kind::Grid, Field::CensorType, "relevance", OK, ""},
        {Kind::Grid, Field::CensorType, "\tboth", BAD, "invalid censor_type string: \tboth"},
        {Kind::MaxFit, Field::CensorType, "Both", OK, ""},
        {Kind::MaxFit, Field::CensorType, "2", BAD, "invalid censor_type string: 2"},
        {Kind::Predict, Field::CensorUnit, "PERCENT", OK, ""},
        {Kind::Predict, Field::CensorUnit, "Score", OK, ""},
        {Kind::Predict, Field::CensorUnit, "percent ", BAD, "invalid censor_unit string: percent "},
        {Kind::Predict, Field::CensorUnit, "1", BAD, "invalid censor_unit string: 1"},
        {Kind::Grid, Field::InnerParallel, "SEQUENTIAL", OK, ""},
        {Kind::Grid, Field::InnerParallel, "Auto", OK, ""},
        {Kind::Grid, Field::InnerParallel, "on", BAD, "invalid inner_parallel string: 'on'; expected 'auto' or 'off'"},
        {Kind::Grid, Field::InnerParallel, "1", BAD, "invalid inner_parallel string: '1'; expected 'auto' or 'off'"},
        {Kind::MaxFit, Field::InnerParallel, "false", OK, ""},
        {Kind::MaxFit, Field::InnerParallel, "True", BAD, "invalid inner_parallel string: 'True'; expected 'auto' or 'off'"},
        {Kind::MaxFit, Field::InnerParallel, " off", BAD, "invalid inner_parallel string: ' off'; expected 'auto' or 'off'"},
        {Kind::MaxFit, Field::Objective, "fit", OK, ""},
        {Kind::MaxFit, Field::Objective, "adjusted_fit", OK, ""},
        {Kind::MaxFit, Field::Objective, "kfit", OK, ""},
        {Kind::MaxFit, Field::Objective, "KFIT", BAD, "objective must be 'fit', 'adjusted_fit', or 'kfit'; got 'KFIT'"},
        {Kind::MaxFit, Field::Objective, " fit", BAD, "objective must be 'fit', 'adjusted_fit', or 'kfit'; got ' fit'"},
        {Kind::MaxFit, Field::Objective, "\xc3\xa9", BAD, "objective must be 'fit', 'adjusted_fit', or 'kfit'; got '\xc3\xa9'"},
        {Kind::Grid, Field::RetainGridObjects, " [yhat_cells, 'k_cells'] ", OK, ""},
        {Kind::Grid, Field::RetainGridObjects, "TRUE", OK, ""},
        {Kind::Grid, Field::RetainGridObjects, "[]", OK, ""},
        {Kind::Grid, Field::RetainGridObjects, "", OK, ""},
        {Kind::Grid, Field::RetainGridObjects, "[yhat_cells, Combi_cells]", BAD,
         "Invalid retain_grid_objects key: 'Combi_cells'. " + keys},
        {Kind::Grid, Field::RetainGridObjects, "everything", BAD, "Invalid retain_grid_objects key: 'everything'. " + keys},
    };
    for (const auto& c : cases) {
        const setters::TextSetter* s = setters::text_setter(c.kind, c.field);
        ASSERT_NE(s, nullptr);
        stain_last_error();
        EXPECT_EQ(s->set(of(c.kind), c.text), c.status) << s->name << " [" << c.text << "]";
        EXPECT_EQ(qel_last_error(), c.message) << s->name << " [" << c.text << "]";
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

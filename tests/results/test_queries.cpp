// Presence tests, dimension queries, counts and release of a results handle:
// which parts each kind of run holds, which calls clear or set the last
// error, and the extents as held.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "../support/sanitized.hpp"
#include "fixture.hpp"
#include "qelcore.h"

namespace {

using fixture::Handle;
using fixture::PredictionResults;

std::string last_error() { return qel_last_error(); }

// A message no query below produces, to see who leaves it alone.
const std::string PLANTED = "weights not available";
void plant_error() {
    const Handle none = fixture::box(fixture::bare(1, 1, 1));
    double out;
    ASSERT_EQ(qel_results_copy_weights(none.get(), &out, 1, 0), QEL_STATUS_INVALID_VALUE);
    ASSERT_EQ(last_error(), PLANTED);
}

using HasFn = int32_t (*)(const QelPredictionResults*);

struct Presence {
    const char* function;
    HasFn has;
    bool prediction, maxfit, grid;
};

const Presence presence_tests[] = {
    {"qel_results_has_auxiliary", qel_results_has_auxiliary, true, true, true},
    {"qel_results_has_include", qel_results_has_include, true, true, false},
    {"qel_results_has_weights", qel_results_has_weights, true, true, true},
    {"qel_results_has_weights_excluded", qel_results_has_weights_excluded, true, true, true},
    {"qel_results_has_maxfit_index", qel_results_has_maxfit_index, false, true, false},
    {"qel_results_has_yhat_linear", qel_results_has_yhat_linear, true, true, false},
    {"qel_results_has_grid_insights", qel_results_has_grid_insights, false, false, true},
    {"qel_results_has_y_solo", qel_results_has_y_solo, true, true, false},
    {"qel_results_has_xi_solo", qel_results_has_xi_solo, true, true, false},
    {"qel_results_has_ysolo_distribution", qel_results_has_ysolo_distribution, true, true, false},
    {"qel_results_has_grid_cells", qel_results_has_grid_cells, false, false, true},
    {"qel_results_has_ysolo_cells", qel_results_has_ysolo_cells, false, false, true},
    {"qel_results_has_k_cells", qel_results_has_k_cells, false, false, true},
    {"qel_results_has_combi_cells", qel_results_has_combi_cells, false, false, true},
};

TEST(ResultsQueries, PresenceByKindOfRunWithoutTouchingTheLastError) {
    const Handle prediction = fixture::box(fixture::prediction(3, 2, 4, 5));
    const Handle maxfit = fixture::box(fixture::maxfit(3, 2, 4, 1));
    const Handle grid = fixture::box(fixture::grid_run(3, 2, 4));
    const Handle bare = fixture::box(fixture::bare(3, 2, 4));
    for (const auto& p : presence_tests) {
        SCOPED_TRACE(p.function);
        plant_error();
        EXPECT_EQ(p.has(prediction.get()), p.prediction ? 1 : 0);
        EXPECT_EQ(p.has(maxfit.get()), p.maxfit ? 1 : 0);
        EXPECT_EQ(p.has(grid.get()), p.grid ? 1 : 0);
        EXPECT_EQ(p.has(bare.get()), 0);
        EXPECT_EQ(last_error(), PLANTED);
    }
}

TEST(ResultsQueries, PresenceOnANullHandleSaysWhy) {
    for (const auto& p : presence_tests) {
        SCOPED_TRACE(p.function);
        plant_error();
        EXPECT_EQ(p.has(nullptr), 0);
        const bool silent = p.has == qel_results_has_yhat_linear;
        EXPECT_EQ(last_error(), silent ? PLANTED : "results is null");
    }
}

TEST(ResultsQueries, HoldersArePresentWhateverTheyHold) {
    PredictionResults r = fixture::bare(2, 1, 1);
    r.grid_insights.emplace();
    r.grid_cells.emplace();
    r.solo_distribution.emplace();
    const Handle h = fixture::box(std::move(r));
    EXPECT_EQ(qel_results_has_grid_insights(h.get()), 1);
    EXPECT_EQ(qel_results_has_grid_cells(h.get()), 1);
    EXPECT_EQ(qel_results_has_k_cells(h.get()), 0);
    EXPECT_EQ(qel_results_has_y_solo(h.get()), 0);
    EXPECT_EQ(qel_results_has_xi_solo(h.get()), 0);
    EXPECT_EQ(qel_results_has_ysolo_distribution(h.get()), 0);
    EXPECT_EQ(qel_results_num_combinations(h.get()), 0u);
}

using HasCensorFn = int32_t (*)(const QelPredictionResults*, int32_t);

struct CensorPresence {
    const char* function;
    HasCensorFn has;
    std::string key;
};

const CensorPresence censor_presence[] = {
    {"qel_results_has_yhat_cells", qel_results_has_yhat_cells, "yhat"},
    {"qel_results_has_adjusted_fit_cells", qel_results_has_adjusted_fit_cells, "adj"},
    {"qel_results_has_n_cells", qel_results_has_n_cells, "n"},
    {"qel_results_has_weights_cells", qel_results_has_weights_cells, "weights"},
    {"qel_results_has_xi_solo_cells", qel_results_has_xi_solo_cells, "xi"},
};

TEST(ResultsQueries, PerCensorPresenceLeavesTheReasonForAZero) {
    const Handle grid = fixture::box(fixture::grid_run(3, 2, 4));  // relevance cells only
    const Handle bare = fixture::box(fixture::bare(3, 2, 1));
    for (const auto& p : censor_presence) {
        SCOPED_TRACE(p.function);
        plant_error();
        EXPECT_EQ(p.has(grid.get(), 0), 1);
        EXPECT_EQ(last_error(), PLANTED);
        EXPECT_EQ(p.has(grid.get(), 1), 0);
        EXPECT_EQ(last_error(), p.key + "_cells not available for censor=1");
        EXPECT_EQ(p.has(bare.get(), 0), 0);
        EXPECT_EQ(last_error(), p.key + "_cells not available for censor=0");
        EXPECT_EQ(p.has(grid.get(), 5), 0);
        EXPECT_EQ(last_error(), "invalid grid censor code");
        EXPECT_EQ(p.has(bare.get(), -1), 0);
        EXPECT_EQ(last_error(), "invalid grid censor code");
        EXPECT_EQ(p.has(nullptr, 0), 0);
        EXPECT_EQ(last_error(), "results is null");
    }
}

// --- dimension queries -----------------------------------------------------

using DimsFn = int32_t (*)(const QelPredictionResults*, size_t*, size_t*);

struct Dims {
    const char* function;
    DimsFn dims;
    std::string absent;
    PredictionResults (*holder)();
    size_t d0, d1;
};

PredictionResults prediction() { return fixture::prediction(3, 2, 4, 5); }
PredictionResults grid() { return fixture::grid_run(3, 2, 4); }

const Dims dims_queries[] = {
    {"qel_results_include_dims", qel_results_include_dims, "include not available", prediction, 3, 4},
    {"qel_results_weights_dims", qel_results_weights_dims, "weights not available", prediction, 3, 4},
    {"qel_results_weights_excluded_dims", qel_results_weights_excluded_dims, "weights_excluded not available",
     prediction, 3, 4},
    {"qel_results_xi_solo_dims", qel_results_xi_solo_dims, "xi_solo not available", prediction, 3, 4},
    {"qel_results_ysolo_cells_dims", qel_results_ysolo_cells_dims, "ysolo_cells not available", grid, 3, 4},
    {"qel_results_k_cells_dims", qel_results_k_cells_dims, "k_cells not available", grid, 4, 1},
    {"qel_results_combi_cells_dims", qel_results_combi_cells_dims, "combi_cells not available", grid, 4, 2},
    {"qel_results_ysolo_distribution_dims", qel_results_ysolo_distribution_dims, "ysolo_distribution not available",
     prediction, 5, 4},
};

TEST(ResultsQueries, DimensionsOfEachMatrixAsHeld) {
    const Handle bare = fixture::box(fixture::bare(3, 2, 4));
    for (const auto& q : dims_queries) {
        SCOPED_TRACE(q.function);
        const Handle h = fixture::box(q.holder());
        plant_error();
        size_t d0 = 99, d1 = 99;
        EXPECT_EQ(q.dims(h.get(), &d0, &d1), QEL_STATUS_OK);
        EXPECT_EQ(last_error(), "");
        EXPECT_EQ(d0, q.d0);
        EXPECT_EQ(d1, q.d1);

        d0 = d1 = 99;
        EXPECT_EQ(q.dims(bare.get(), &d0, &d1), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), q.absent);
        EXPECT_EQ(d0, 99u);
        EXPECT_EQ(d1, 99u);
        // NULL extent pointers come before absence.
        EXPECT_EQ(q.dims(bare.get(), &d0, nullptr), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), "dims out pointers are null");
        EXPECT_EQ(q.dims(h.get(), nullptr, &d1), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), "dims out pointers are null");
        EXPECT_EQ(d1, 99u);
        EXPECT_EQ(q.dims(nullptr, nullptr, nullptr), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), "results is null");
    }
}

TEST(ResultsQueries, MaxFitMatricesHaveOneColumn) {
    const Handle h = fixture::box(fixture::maxfit(3, 2, 4, 3));
    size_t d0 = 0, d1 = 0;
    ASSERT_EQ(qel_results_weights_dims(h.get(), &d0, &d1), QEL_STATUS_OK);
    EXPECT_EQ(d0, 3u);
    EXPECT_EQ(d1, 1u);
    ASSERT_EQ(qel_results_include_dims(h.get(), &d0, &d1), QEL_STATUS_OK);
    EXPECT_EQ(d1, 1u);
    // The histogram keeps its per-threshold columns.
    ASSERT_EQ(qel_results_ysolo_distribution_dims(h.get(), &d0, &d1), QEL_STATUS_OK);
    EXPECT_EQ(d0, 4u);
    EXPECT_EQ(d1, 4u);
    EXPECT_EQ(qel_results_num_thresholds(h.get()), 1u);
    EXPECT_EQ(qel_results_maxfit_index_len(h.get()), 4u);
}

TEST(ResultsQueries, PerCensorDimensions) {
    const Handle grid = fixture::box(fixture::grid_run(3, 2, 4));
    using Dims2 = int32_t (*)(const QelPredictionResults*, int32_t, size_t*, size_t*);
    using Dims3 = int32_t (*)(const QelPredictionResults*, int32_t, size_t*, size_t*, size_t*);
    struct Case {
        const char* function;
        Dims2 dims2;
        Dims3 dims3;
        std::string key;
    } cases[] = {
        {"qel_results_yhat_cells_dims", qel_results_yhat_cells_dims, nullptr, "yhat"},
        {"qel_results_adjusted_fit_cells_dims", qel_results_adjusted_fit_cells_dims, nullptr, "adj"},
        {"qel_results_n_cells_dims", qel_results_n_cells_dims, nullptr, "n"},
        {"qel_results_weights_cells_dims", nullptr, qel_results_weights_cells_dims, "weights"},
        {"qel_results_xi_solo_cells_dims", nullptr, qel_results_xi_solo_cells_dims, "xi"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        auto run = [&](const QelPredictionResults* h, int32_t censor, size_t* a, size_t* b, size_t* d) {
            return c.dims2 ? c.dims2(h, censor, a, b) : c.dims3(h, censor, a, b, d);
        };
        size_t a = 99, b = 99, d = 99;
        plant_error();
        ASSERT_EQ(run(grid.get(), 0, &a, &b, &d), QEL_STATUS_OK);
        EXPECT_EQ(last_error(), "");
        if (c.dims2) {
            EXPECT_EQ(a, 4u);  // C x T
            EXPECT_EQ(b, 1u);
            EXPECT_EQ(d, 99u);
        } else {
            EXPECT_EQ(a, 3u);  // N x T x C
            EXPECT_EQ(b, 1u);
            EXPECT_EQ(d, 4u);
        }
        a = b = d = 99;
        EXPECT_EQ(run(grid.get(), 1, &a, &b, &d), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), c.key + "_cells not available for censor=1");
        EXPECT_EQ(run(grid.get(), 2, &a, &b, &d), QEL_STATUS_INVALID_VALUE);
        EXPECT_EQ(last_error(), "invalid grid censor code");
        EXPECT_EQ(a, 99u);
        EXPECT_EQ(run(grid.get(), 2, nullptr, &b, &d), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), "dims out pointers are null");
        EXPECT_EQ(run(nullptr, 0, &a, &b, &d), QEL_STATUS_NULL_POINTER);
        EXPECT_EQ(last_error(), "results is null");
    }
    size_t a, b;
    EXPECT_EQ(qel_results_weights_cells_dims(grid.get(), 0, &a, &b, nullptr), QEL_STATUS_NULL_POINTER);
    EXPECT_EQ(last_error(), "dims out pointers are null");
}

// --- counts ----------------------------------------------------------------

TEST(ResultsQueries, CountsOfEachKindOfRun) {
    const Handle prediction = fixture::box(fixture::prediction(3, 2, 4, 5));
    EXPECT_EQ(qel_results_num_observations(prediction.get()), 3u);
    EXPECT_EQ(qel_results_num_variables(prediction.get()), 2u);
    EXPECT_EQ(qel_results_num_thresholds(prediction.get()), 4u);
    EXPECT_EQ(qel_results_num_combinations(prediction.get()), 0u);
    EXPECT_EQ(qel_results_maxfit_index_len(prediction.get()), 0u);

    PredictionResults without_cells = fixture::grid_run(3, 2, 4);
    without_cells.grid_cells.reset();
    const Handle grid = fixture::box(std::move(without_cells));
    EXPECT_EQ(qel_results_has_grid_cells(grid.get()), 0);
    EXPECT_EQ(qel_results_num_combinations(grid.get()), 0u);
    EXPECT_EQ(qel_results_num_thresholds(grid.get()), 1u);
}

TEST(ResultsQueries, CombinationCountComesFromTheFirstRetainedArray) {
    namespace res = toolbox::qel::results;
    using toolbox::matrix::Matrix;
    const auto yhat_only = [](Matrix m) {
        res::CensorGridCells c;
        c.yhat_cells = std::move(m);
        return c;
    };
    const auto adjusted_only = [](Matrix m) {
        res::CensorGridCells c;
        c.adjusted_fit_cells = std::move(m);
        return c;
    };
    struct Case {
        const char* name;
        res::GridCellsData cells;
        size_t expected;
    } cases[] = {
        {"k_cells decides first",
         {yhat_only(Matrix(9, 1)), std::nullopt, res::share(Matrix(3, 8)), res::share(Matrix(5, 1)),
          res::share(Matrix(6, 2))},
         5},
        {"then combi_cells", {std::nullopt, std::nullopt, res::share(Matrix(3, 8)), std::nullopt, res::share(Matrix(6, 2))}, 6},
        {"then the columns of ysolo_cells", {std::nullopt, std::nullopt, res::share(Matrix(3, 8)), std::nullopt, std::nullopt}, 8},
        {"then relevance yhat_cells",
         {yhat_only(Matrix(9, 1)), yhat_only(Matrix(4, 1)), std::nullopt, std::nullopt, std::nullopt},
         9},
        {"then similarity yhat_cells",
         {adjusted_only(Matrix(2, 1)), yhat_only(Matrix(4, 1)), std::nullopt,
          std::nullopt, std::nullopt},
         4},
        {"nothing retained", {adjusted_only(Matrix(2, 1)), std::nullopt, std::nullopt, std::nullopt, std::nullopt}, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        PredictionResults r = fixture::bare(3, 2, 1);
        r.grid_cells = std::move(c.cells);
        const Handle h = fixture::box(std::move(r));
        plant_error();
        EXPECT_EQ(qel_results_num_combinations(h.get()), c.expected);
        EXPECT_EQ(last_error(), PLANTED);
    }
}

TEST(ResultsQueries, KCellsAloneRetained) {
    namespace res = toolbox::qel::results;
    PredictionResults r = fixture::grid_run(3, 2, 4);
    r.grid_cells = res::GridCellsData{};
    r.grid_cells->k_cells = res::share(fixture::grid(0, 4, 1));
    const Handle h = fixture::box(std::move(r));
    EXPECT_EQ(qel_results_has_grid_cells(h.get()), 1);
    EXPECT_EQ(qel_results_has_k_cells(h.get()), 1);
    EXPECT_EQ(qel_results_has_combi_cells(h.get()), 0);
    EXPECT_EQ(qel_results_has_yhat_cells(h.get(), 0), 0);
    EXPECT_EQ(last_error(), "yhat_cells not available for censor=0");
    EXPECT_EQ(qel_results_num_combinations(h.get()), 4u);
}

TEST(ResultsQueries, NullHandleCounts) {
    struct Case {
        const char* function;
        size_t (*count)(const QelPredictionResults*);
        bool says_why;
    } cases[] = {
        {"qel_results_num_observations", qel_results_num_observations, false},
        {"qel_results_num_variables", qel_results_num_variables, false},
        {"qel_results_num_thresholds", qel_results_num_thresholds, false},
        {"qel_results_num_combinations", qel_results_num_combinations, true},
        {"qel_results_maxfit_index_len", qel_results_maxfit_index_len, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        plant_error();
        EXPECT_EQ(c.count(nullptr), 0u);
        EXPECT_EQ(last_error(), c.says_why ? "results is null" : PLANTED);
    }
}

// --- release ---------------------------------------------------------------

TEST(ResultsQueries, FreeAcceptsNullAndLeavesTheLastError) {
    plant_error();
    qel_prediction_results_free(nullptr);
    EXPECT_EQ(last_error(), PLANTED);
    QelPredictionResults* h = ffi::results::box_results(fixture::prediction(3, 2, 2, 2));
    qel_prediction_results_free(h);
    EXPECT_EQ(last_error(), PLANTED);
}

// What every kind of results export answers for a handle it cannot read: a
// status of 3, or a 0, with "results is not a results handle".
void expect_refused(const QelPredictionResults* h) {
    const std::string refused = "results is not a results handle";
    double out[8];
    size_t d0 = 0, d1 = 0, d2 = 0;
    // Each export in turn, from a planted message: it must leave its own.
    auto status_of = [&](auto call) {
        plant_error();
        const int32_t status = call();
        EXPECT_EQ(last_error(), refused);
        return status;
    };
    EXPECT_EQ(status_of([&] { return qel_results_copy_yhat(h, out, 8); }), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_copy_relevance(h, out, 8); }), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_copy_aux_n(h, out, 8); }), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_copy_maxfit_index(h, out, 8); }), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_copy_ysolo_bin_edges(h, out, 8); }), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_copy_weights(h, out, 8, QEL_LAYOUT_ROW_MAJOR); }),
              QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_copy_yhat_cells(h, 0, out, 8, QEL_LAYOUT_ROW_MAJOR); }),
              QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_copy_xi_solo_cells(h, 0, out, 8); }), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_copy_yhat_linear(h, out, 8); }), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_copy_include(h, reinterpret_cast<uint8_t*>(out), 8, 0); }),
              QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_weights_dims(h, &d0, &d1); }), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_include_dims(h, &d0, &d1); }), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_n_cells_dims(h, 0, &d0, &d1); }), QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(status_of([&] { return qel_results_weights_cells_dims(h, 0, &d0, &d1, &d2); }),
              QEL_STATUS_INVALID_VALUE);
    EXPECT_EQ(d0 + d1 + d2, 0u) << "a refused query wrote extents";
    for (const Presence& p : presence_tests) {
        EXPECT_EQ(status_of([&] { return p.has(h); }), 0) << p.function;
    }
    EXPECT_EQ(status_of([&] { return qel_results_has_weights_cells(h, 0); }), 0);
    for (auto count : {qel_results_num_observations, qel_results_num_variables, qel_results_num_thresholds,
                       qel_results_num_combinations, qel_results_maxfit_index_len}) {
        EXPECT_EQ(status_of([&] { return count(h); }), 0u);
    }
}

// A handle of another kind, cast by a host: read as results it would be
// garbage, released as results it would corrupt the heap.
TEST(ResultsQueries, AHandleOfAnotherKindIsRefusedAndLeftAlone) {
    QelPredictOptions* options = qel_predict_options_create();
    ASSERT_NE(options, nullptr);
    const auto* h = reinterpret_cast<QelPredictionResults*>(options);
    expect_refused(h);
    qel_prediction_results_free(const_cast<QelPredictionResults*>(h));
    // Still a live options handle.
    EXPECT_EQ(qel_predict_options_set_verbose(options, 1), QEL_STATUS_OK);
    qel_predict_options_free(options);
}

// A second free of a results handle aborted the host ("double free"); the
// handle is now left alone, and reading it is refused, while its memory has
// not been handed out again. (Reading released memory is what sanitizers
// report, so the check runs only without them.)
TEST(ResultsQueries, AHandleFreedTwiceIsLeftAlone) {
#ifdef QEL_TEST_SANITIZED
    GTEST_SKIP() << "reads released memory on purpose";
#else
    QelPredictionResults* h = ffi::results::box_results(fixture::prediction(3, 2, 2, 2));
    qel_prediction_results_free(h);
    qel_prediction_results_free(h);
    expect_refused(h);
    qel_prediction_results_free(h);
#endif
}

TEST(ResultsQueries, HandlesSharingGridMatricesAreFreedOnAnyThread) {
    // Copies share the three grid matrices; each handle is released on its own
    // thread while the others still read theirs.
    const PredictionResults original = fixture::grid_run(3, 2, 4);
    std::vector<QelPredictionResults*> handles;
    for (int i = 0; i < 8; ++i) handles.push_back(ffi::results::box_results(PredictionResults(original)));
    std::vector<std::thread> threads;
    std::vector<double> firsts(handles.size(), 0.0);
    for (size_t i = 0; i < handles.size(); ++i) {
        threads.emplace_back([&, i] {
            std::vector<double> k(4);
            if (qel_results_copy_k_cells(handles[i], k.data(), k.size(), 0) == QEL_STATUS_OK) firsts[i] = k[0];
            // Each thread sees only its own failures.
            double one;
            qel_results_copy_relevance(handles[i], &one, 1);
            if (last_error() != "relevance not available on these results") firsts[i] = -1.0;
            qel_prediction_results_free(handles[i]);
        });
    }
    for (auto& t : threads) t.join();
    for (double f : firsts) EXPECT_EQ(f, 17000.0);
    EXPECT_EQ((**original.grid_cells->k_cells)(3, 0), 17030.0);
    EXPECT_EQ(original.grid_cells->k_cells->use_count(), 1);
}

}  // namespace

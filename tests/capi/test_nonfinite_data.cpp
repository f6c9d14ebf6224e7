// Data whose covariance is not finite, through every model call: each call
// returns promptly with status 5, the same reason and no results, whatever
// the inversion method. Before, the pseudoinverse never returned on such
// data, and max-fit and grid runs reported success on a meaningless result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/returns.hpp"
#include "host_sample.hpp"
#include "qelcore.h"

namespace {

using namespace host;

const std::string kUndefined =
    "covariance of X is not finite (a column with fewer than two observed values, or a single observation)";

// The exports of one model call and its handle kind.
template <class Handle>
struct ModelApi {
    const char* name;
    Handle* (*create)();
    int32_t (*set_inv_method)(Handle*, int32_t);
    int32_t (*call)(const double*, size_t, const double*, size_t, size_t, int32_t, const double*, size_t,
                    const Handle*, QelPredictionResults**);
    void (*free)(Handle*);
    // What the default options put before the reason (max-fit's default
    // censor types run on the pool, whose setup errors say so).
    const char* prefix;
};

const ModelApi<QelPredictOptions> kPredict{"qel_predict", qel_predict_options_create,
                                           qel_predict_options_set_inv_method, qel_predict,
                                           qel_predict_options_free, ""};
const ModelApi<QelMaxFitOptions> kMaxFit{"qel_maxfit", qel_maxfit_options_create, qel_maxfit_options_set_inv_method,
                                         qel_maxfit, qel_maxfit_options_free, "Setup error: "};
const ModelApi<QelGridOptions> kGrid{"qel_grid", qel_grid_options_create, qel_grid_options_set_inv_method, qel_grid,
                                     qel_grid_options_free, ""};

struct Outcome {
    int32_t status = -1;
    std::string message;
    bool has_results = false;
};

// One call with inversion method `method`, on a worker thread with a limit.
template <class Handle>
Outcome run(const ModelApi<Handle>& api, const Sample& s, int32_t method) {
    return test_support::returns(api.name, [&] {
        Handle* opts = api.create();
        EXPECT_EQ(api.set_inv_method(opts, method), 0);
        QelPredictionResults* out = nullptr;
        Outcome o;
        o.status = api.call(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, opts,
                            &out);
        o.message = qel_last_error();
        o.has_results = out != nullptr;
        qel_prediction_results_free(out);
        api.free(opts);
        return o;
    });
}

template <class Handle>
void expect_refused(const ModelApi<Handle>& api, const char* sample_name, const Sample& s) {
    for (int32_t method : {0, 1, 2}) {
        const Outcome o = run(api, s, method);
        const std::string where = std::string(api.name) + ", " + sample_name + ", method " + std::to_string(method);
        EXPECT_EQ(o.status, 5) << where;
        EXPECT_EQ(o.message, api.prefix + kUndefined) << where;
        EXPECT_FALSE(o.has_results) << where;
    }
}

TEST(NonFiniteData, EveryModelCallRefusesAnOverflowingCovarianceUnderEveryMethod) {
    // 1e308 beside ordinary values: the covariance holds infinities. On this
    // sample LAPACK's SVD never returned.
    Sample hang;
    hang.n = 5;
    hang.k = 3;
    hang.x = {0, 0, 1, 5, 1e308, 2, 1, 1, 0, 2, 3, 1, 3, 2, 4};
    hang.y = {1, 2, 3, 4, 5};
    hang.theta = {1, 1, 1};
    // One huge entry among eight rows: max-fit gave the plain mean with the
    // attribute silently dropped, and the grid a composite of such cells.
    Sample one_huge = random_sample(8, 2, 31);
    one_huge.x[6] = 1e308;
    Sample infinite = random_sample(30, 3, 32);
    infinite.x[10] = -std::numeric_limits<double>::infinity();
    for (const auto& [name, s] : {std::pair<const char*, const Sample&>{"5 x 3 with 1e308", hang},
                                  {"8 x 2 with 1e308", one_huge},
                                  {"an infinite entry", infinite}}) {
        expect_refused(kPredict, name, s);
        expect_refused(kMaxFit, name, s);
        expect_refused(kGrid, name, s);
    }
}

}  // namespace

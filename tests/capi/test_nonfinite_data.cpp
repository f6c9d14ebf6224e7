// Data whose covariance is not finite, through every model call: each call
// returns promptly with status 5 and a message, never a hang and never a
// result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/returns.hpp"
#include "host_sample.hpp"
#include "qelcore.h"

namespace {

using namespace host;

// 1e308 beside ordinary values: the covariance holds infinities, and LAPACK's
// SVD never returned on it.
Sample huge_entry_sample() {
    Sample s;
    s.n = 5;
    s.k = 3;
    s.x = {0, 0, 1, 5, 1e308, 2, 1, 1, 0, 2, 3, 1, 3, 2, 4};
    s.y = {1, 2, 3, 4, 5};
    s.theta = {1, 1, 1};
    return s;
}

struct Outcome {
    int32_t status = -1;
    std::string message;
    bool has_results = false;
};

enum class Model { Predict, MaxFit, Grid };

const char* name_of(Model m) {
    switch (m) {
        case Model::Predict: return "qel_predict";
        case Model::MaxFit: return "qel_maxfit";
        default: return "qel_grid";
    }
}

// One call of `model` with inversion method `method`, on a worker thread.
Outcome run(Model model, const Sample& s, int32_t method) {
    return test_support::returns(name_of(model), [&] {
        Outcome o;
        QelPredictionResults* out = nullptr;
        switch (model) {
            case Model::Predict: {
                QelPredictOptions* opts = qel_predict_options_create();
                EXPECT_EQ(qel_predict_options_set_inv_method(opts, method), 0);
                o.status = qel_predict(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(),
                                       s.k, opts, &out);
                qel_predict_options_free(opts);
                break;
            }
            case Model::MaxFit: {
                QelMaxFitOptions* opts = qel_maxfit_options_create();
                EXPECT_EQ(qel_maxfit_options_set_inv_method(opts, method), 0);
                o.status = qel_maxfit(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(),
                                      s.k, opts, &out);
                qel_maxfit_options_free(opts);
                break;
            }
            case Model::Grid: {
                QelGridOptions* opts = qel_grid_options_create();
                EXPECT_EQ(qel_grid_options_set_inv_method(opts, method), 0);
                o.status = qel_grid(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(),
                                    s.k, opts, &out);
                qel_grid_options_free(opts);
                break;
            }
        }
        o.message = qel_last_error();
        o.has_results = out != nullptr;
        qel_prediction_results_free(out);
        return o;
    });
}

TEST(NonFiniteData, PseudoinverseOfAnInfiniteCovarianceReturns) {
    const Sample s = huge_entry_sample();
    for (Model model : {Model::Predict, Model::MaxFit, Model::Grid}) {
        const Outcome o = run(model, s, 2);
        EXPECT_EQ(o.status, 5) << name_of(model);
        EXPECT_NE(o.message.find("not finite"), std::string::npos) << name_of(model) << ": " << o.message;
        EXPECT_FALSE(o.has_results) << name_of(model);
    }
}

}  // namespace

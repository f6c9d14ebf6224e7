// qel_maxfit end to end, as a host sees it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host_results.hpp"
#include "qelcore.h"

namespace {

using namespace host;

struct MaxFit {
    QelMaxFitOptions* handle = qel_maxfit_options_create();
    ~MaxFit() { qel_maxfit_options_free(handle); }
    MaxFit& thresholds(std::vector<double> t) {
        EXPECT_EQ(qel_maxfit_options_set_threshold(handle, t.data(), t.size()), 0);
        return *this;
    }
    MaxFit& censor(const char* c) {
        EXPECT_EQ(qel_maxfit_options_set_censor_type_str(handle, c), 0);
        return *this;
    }
    MaxFit& inner(const char* p) {
        EXPECT_EQ(qel_maxfit_options_set_inner_parallel_str(handle, p), 0);
        return *this;
    }
    MaxFit& objective(const char* o) {
        EXPECT_EQ(qel_maxfit_options_set_objective(handle, o), 0);
        return *this;
    }
};

int32_t run(const Sample& s, const QelMaxFitOptions* opts, Results& out) {
    return qel_maxfit(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, opts,
                      &out.handle);
}

std::vector<uint8_t> copy_include(const QelPredictionResults* r, size_t n) {
    std::vector<uint8_t> out(n, 7);
    EXPECT_EQ(qel_results_copy_include(r, out.data(), out.size(), QEL_LAYOUT_ROW_MAJOR), 0) << qel_last_error();
    return out;
}

// Every part a max-fit result holds, flattened, for bit comparisons.
std::vector<double> everything(const QelPredictionResults* r) {
    const size_t n = qel_results_num_observations(r);
    std::vector<double> all;
    auto add = [&](const std::vector<double>& v) { all.insert(all.end(), v.begin(), v.end()); };
    for (CopyFn fn : {qel_results_copy_yhat, qel_results_copy_fit, qel_results_copy_agreement,
                      qel_results_copy_outlier_influence, qel_results_copy_asymmetry, qel_results_copy_adjusted_fit,
                      qel_results_copy_k_fit, qel_results_copy_thresholds, qel_results_copy_aux_n,
                      qel_results_copy_aux_phi, qel_results_copy_aux_r_star, qel_results_copy_ysolo_sigma,
                      qel_results_copy_ysolo_skewness, qel_results_copy_ysolo_kurtosis,
                      qel_results_copy_ysolo_bimodal_index, qel_results_copy_weights_concentration})
        add(copy_vec(r, fn, 1));
    for (CopyFn fn : {qel_results_copy_relevance, qel_results_copy_similarity, qel_results_copy_info_x,
                      qel_results_copy_y_solo})
        add(copy_vec(r, fn, n));
    add(copy_vec(r, qel_results_copy_maxfit_index, qel_results_maxfit_index_len(r)));
    for (CopyMatFn fn : {qel_results_copy_weights, qel_results_copy_weights_excluded, qel_results_copy_xi_solo})
        add(copy_mat(r, fn, n));
    for (uint8_t b : copy_include(r, n)) all.push_back(double(b));
    return all;
}

TEST(MaxFit, PartsPresentInTheResult) {
    const Sample s = normal_sample(50, 3, 1);
    for (bool linear : {false, true}) {
        MaxFit opts;
        opts.thresholds({0.0, 0.25, 0.5, 0.75, 0.9});
        ASSERT_EQ(qel_maxfit_options_set_include_linear_regression(opts.handle, linear ? 1 : 0), 0);
        Results res;
        ASSERT_EQ(run(s, opts.handle, res), 0) << qel_last_error();
        const QelPredictionResults* r = res.handle;
        struct Part {
            const char* name;
            int32_t (*has)(const QelPredictionResults*);
            int32_t want;
        } parts[] = {
            {"auxiliary", qel_results_has_auxiliary, 1},
            {"include", qel_results_has_include, 1},
            {"weights", qel_results_has_weights, 1},
            {"weights_excluded", qel_results_has_weights_excluded, 1},
            {"maxfit_index", qel_results_has_maxfit_index, 1},
            {"y_solo", qel_results_has_y_solo, 1},
            {"xi_solo", qel_results_has_xi_solo, 1},
            {"yhat_linear", qel_results_has_yhat_linear, linear ? 1 : 0},
            {"ysolo_distribution", qel_results_has_ysolo_distribution, 0},
            {"grid_insights", qel_results_has_grid_insights, 0},
            {"grid_cells", qel_results_has_grid_cells, 0},
        };
        for (const Part& p : parts) EXPECT_EQ(p.has(r), p.want) << p.name << (linear ? " with" : " without") << " lr";

        EXPECT_EQ(qel_results_num_observations(r), 50u);
        EXPECT_EQ(qel_results_num_thresholds(r), 1u);
        EXPECT_EQ(qel_results_maxfit_index_len(r), 5u);
        const auto rho = copy_vec(r, qel_results_copy_aux_rho, 1);
        EXPECT_TRUE(std::isnan(rho[0]));
        // Include: N x 1, the chosen threshold's column.
        for (uint8_t v : copy_include(r, 50)) EXPECT_TRUE(v == 0 || v == 1);
    }
}

// The chosen threshold is one-hot in the index, and the result equals the
// prediction of the winning censor type at that threshold.
TEST(MaxFit, OneHotIndexAndTheWinnersPrediction) {
    const Sample s = normal_sample(60, 2, 2);
    const std::vector<double> searched = {0.0, 0.2, 0.5, 0.8};
    MaxFit opts;
    opts.thresholds(searched).objective("adjusted_fit");
    Results res;
    ASSERT_EQ(run(s, opts.handle, res), 0) << qel_last_error();

    const auto index = copy_vec(res.handle, qel_results_copy_maxfit_index, 4);
    size_t ones = 0, g = 0;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(index[i] == 0.0 || index[i] == 1.0);
        if (index[i] == 1.0) {
            ++ones;
            g = i;
        }
    }
    ASSERT_EQ(ones, 1u);
    EXPECT_EQ(copy_vec(res.handle, qel_results_copy_thresholds, 1)[0], searched[g]);

    // The two single-censor predictions over the searched thresholds.
    std::vector<double> best_adj(2), best_yhat(2);
    std::vector<size_t> best_g(2);
    for (int32_t censor : {0, 1}) {
        QelPredictOptions* po = qel_predict_options_create();
        ASSERT_EQ(qel_predict_options_set_threshold(po, searched.data(), searched.size()), 0);
        ASSERT_EQ(qel_predict_options_set_censor_type_str(po, censor == 0 ? "relevance" : "similarity"), 0);
        Results p;
        ASSERT_EQ(qel_predict(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, po,
                              &p.handle),
                  0);
        qel_predict_options_free(po);
        const auto adj = copy_vec(p.handle, qel_results_copy_adjusted_fit, 4);
        const auto yhat = copy_vec(p.handle, qel_results_copy_yhat, 4);
        size_t b = 0;
        for (size_t i = 1; i < 4; ++i)
            if (std::isnan(adj[b]) || (!std::isnan(adj[i]) && adj[i] >= adj[b])) b = i;
        best_g[censor] = b;
        best_adj[censor] = adj[b];
        best_yhat[censor] = yhat[b];
    }
    const int winner = best_adj[1] > best_adj[0] || (std::isnan(best_adj[0]) && !std::isnan(best_adj[1])) ? 1 : 0;
    EXPECT_EQ(g, best_g[winner]);
    EXPECT_EQ(copy_vec(res.handle, qel_results_copy_adjusted_fit, 1)[0], best_adj[winner]);
    EXPECT_EQ(copy_vec(res.handle, qel_results_copy_yhat, 1)[0], best_yhat[winner]);
}

TEST(MaxFit, PoolAndSequentialRunsGiveIdenticalBits) {
    const Sample s = normal_sample(120, 4, 3);
    for (const char* objective : {"fit", "adjusted_fit", "kfit"}) {
        for (int32_t scale : {0, 1}) {
            Sample in = s;
            if (scale == 1)
                for (double& v : in.y) v = v > 0.0 ? 1.0 : 0.0;
            MaxFit seq, pool;
            seq.objective(objective).inner("off");
            pool.objective(objective).inner("auto");
            for (MaxFit* m : {&seq, &pool}) {
                ASSERT_EQ(qel_maxfit_options_set_prediction_scale(m->handle, scale), 0);
                ASSERT_EQ(qel_maxfit_options_set_include_linear_regression(m->handle, 1), 0);
            }
            Results a, b;
            ASSERT_EQ(run(in, seq.handle, a), 0) << qel_last_error();
            ASSERT_EQ(run(in, pool.handle, b), 0) << qel_last_error();
            EXPECT_TRUE(same_bits(everything(a.handle), everything(b.handle))) << objective << " scale " << scale;
            EXPECT_TRUE(same_bits(copy_vec(a.handle, qel_results_copy_yhat_linear, 1),
                                  copy_vec(b.handle, qel_results_copy_yhat_linear, 1)));
        }
    }
}

// Several hosts' threads run pooled max-fit calls at once; every one gets the
// single-threaded bits.
TEST(MaxFit, ConcurrentCallersShareThePool) {
    const Sample s = normal_sample(80, 3, 4);
    Results ref;
    ASSERT_EQ(run(s, nullptr, ref), 0) << qel_last_error();
    const auto want = everything(ref.handle);
    constexpr int kThreads = 6;
    std::vector<int> ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            bool good = true;
            for (int round = 0; round < 3; ++round) {
                Results r;
                good = good && run(s, nullptr, r) == 0;
                good = good && r.handle != nullptr && same_bits(everything(r.handle), want);
            }
            ok[t] = good ? 1 : 0;
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ok[t], 1) << "thread " << t;
}

TEST(MaxFit, NullOptionsEqualAFreshHandle) {
    const Sample s = normal_sample(40, 2, 5);
    MaxFit fresh;
    Results a, b;
    ASSERT_EQ(run(s, nullptr, a), 0) << qel_last_error();
    ASSERT_EQ(run(s, fresh.handle, b), 0) << qel_last_error();
    EXPECT_TRUE(same_bits(everything(a.handle), everything(b.handle)));
    EXPECT_EQ(qel_results_maxfit_index_len(a.handle), 4u);  // the default range
}

TEST(MaxFit, FailuresLeaveNoResults) {
    const Sample good = normal_sample(30, 2, 6);
    const std::string panic = "internal panic in qel_maxfit (often singular / ill-conditioned data): ";
    Sample constant = good;
    for (size_t i = 0; i < constant.n; ++i) constant.x[i * 2] = 1.0;
    Sample twins = good;
    for (size_t i = 0; i < twins.n; ++i) twins.x[i * 2 + 1] = twins.x[i * 2];
    Sample infinite = good;
    infinite.x[7] = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        const Sample& s;
        int32_t status;
        std::string prefix;
    } cases[] = {
        {"two equal columns: singular covariance", twins, 5, panic + "Failed to invert covariance matrix: \""},
        {"constant column", constant, 5,
         "column 0 of X has no spread (every observed value is 1): drop it, or use the pseudoinverse"},
        {"infinite value", infinite, 5,
         "covariance of X is not finite for column 1 (an infinite or overflowing value, "},
    };
    for (const Case& c : cases) {
        for (const char* inner : {"off", "auto"}) {
            MaxFit opts;
            opts.inner(inner);
            QelPredictionResults* out = reinterpret_cast<QelPredictionResults*>(&opts);  // not NULL on entry
            EXPECT_EQ(qel_maxfit(c.s.y.data(), c.s.n, c.s.x.data(), c.s.n, c.s.k, QEL_LAYOUT_ROW_MAJOR,
                                 c.s.theta.data(), c.s.k, opts.handle, &out),
                      c.status)
                << c.name;
            EXPECT_EQ(out, nullptr) << c.name;
            // Censor type both: "auto" takes the pool driver, whose engine
            // errors name the step; a fault is reported the same either way.
            const bool pooled = std::string(inner) == "auto" && c.prefix.rfind(panic, 0) != 0;
            const std::string want = (pooled ? "Setup error: " : "") + c.prefix;
            EXPECT_EQ(std::string(qel_last_error()).rfind(want, 0), 0u) << c.name << ": " << qel_last_error();
        }
    }
    // Argument checks of the shared frame.
    EXPECT_EQ(qel_maxfit(good.y.data(), good.n, good.x.data(), good.n, good.k, QEL_LAYOUT_ROW_MAJOR,
                         good.theta.data(), good.k, nullptr, nullptr),
              1);
    EXPECT_STREQ(qel_last_error(), "out_results is null");
    QelPredictionResults* out = nullptr;
    EXPECT_EQ(qel_maxfit(good.y.data(), good.n - 1, good.x.data(), good.n, good.k, QEL_LAYOUT_ROW_MAJOR,
                         good.theta.data(), good.k, nullptr, &out),
              2);
    EXPECT_EQ(out, nullptr);
    // A success clears the message of an earlier failure.
    Results ok;
    ASSERT_EQ(run(good, nullptr, ok), 0);
    EXPECT_STREQ(qel_last_error(), "");
}

TEST(MaxFit, CallRecordVariant) {
    const Sample s = normal_sample(45, 3, 7);
    EXPECT_EQ(qel_maxfit_call(nullptr), 1);
    EXPECT_STREQ(qel_last_error(), "args is null");

    MaxFit opts;
    opts.thresholds({0.1, 0.6}).censor("similarity");
    Results direct, via;
    ASSERT_EQ(run(s, opts.handle, direct), 0) << qel_last_error();
    const QelModelCallArgs args = {s.y.data(),     s.n,  s.x.data(),  s.n,         s.k, QEL_LAYOUT_ROW_MAJOR,
                                   s.theta.data(), s.k,  opts.handle, &via.handle};
    ASSERT_EQ(qel_maxfit_call(&args), 0) << qel_last_error();
    EXPECT_TRUE(same_bits(everything(direct.handle), everything(via.handle)));
    EXPECT_EQ(qel_results_maxfit_index_len(via.handle), 2u);

    // Failures come back unchanged through the record.
    QelModelCallArgs bad = args;
    bad.layout = 77;
    QelPredictionResults* out = nullptr;
    bad.out_results = &out;
    EXPECT_EQ(qel_maxfit_call(&bad), 3);
    EXPECT_EQ(out, nullptr);
}

}  // namespace

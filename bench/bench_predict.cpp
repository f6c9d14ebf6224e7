// End-to-end prediction through the C interface, single-threaded.
//
//   bench_predict --benchmark_counters_tabular=true
//
// Arguments: N, K, number of thresholds (1 = the handle's default [0.5], 4 =
// 0.0, 0.2, 0.5, 0.8), and whether about 5% of X is missing.
#include <benchmark/benchmark.h>
#include <cblas.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "qelcore.h"

namespace {

struct Sample {
    std::vector<double> y, x, theta;
};

Sample make_sample(std::size_t n, std::size_t k, bool with_nan) {
    std::mt19937_64 rng(12345);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit;
    Sample s;
    s.x.resize(n * k);
    s.y.resize(n);
    s.theta.resize(k);
    for (std::size_t i = 0; i < n; ++i) {
        double acc = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            const double v = normal(rng);
            s.x[i * k + j] = v;
            acc += v * (1.0 + 0.1 * static_cast<double>(j));
        }
        s.y[i] = acc + normal(rng);
    }
    if (with_nan) {
        for (double& v : s.x) {
            if (unit(rng) < 0.05) v = std::nan("");
        }
    }
    for (std::size_t j = 0; j < k; ++j) s.theta[j] = 0.5 * normal(rng);
    return s;
}

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void BM_Predict(benchmark::State& state) {
    openblas_set_num_threads(1);
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto k = static_cast<std::size_t>(state.range(1));
    const bool four = state.range(2) == 4;
    const bool with_nan = state.range(3) != 0;
    const Sample s = make_sample(n, k, with_nan);

    QelPredictOptions* opts = qel_predict_options_create();
    if (four) {
        const double thr[] = {0.0, 0.2, 0.5, 0.8};
        qel_predict_options_set_threshold(opts, thr, 4);
    }
    for (auto _ : state) {
        QelPredictionResults* res = nullptr;
        const int32_t status = qel_predict(s.y.data(), n, s.x.data(), n, k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), k,
                                           opts, &res);
        if (status != QEL_STATUS_OK) {
            state.SkipWithError(qel_last_error());
            break;
        }
        benchmark::DoNotOptimize(res);
        qel_prediction_results_free(res);
    }
    qel_predict_options_free(opts);
    const double t = four ? 4.0 : 1.0;
    const double input_bytes = 8.0 * static_cast<double>(n * k + n + k);
    // Results: per-observation vectors (relevance, similarity, info_x, y_solo)
    // and the N x T weights, excluded weights, solo weights and include mask.
    const double result_bytes = 8.0 * static_cast<double>(n) * (4.0 + 3.0 * t) + static_cast<double>(n) * t;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak_rss_kib()) / 1024.0;
    state.counters["io_MiB"] = (input_bytes + result_bytes) / (1024.0 * 1024.0);
}

void PredictArgs(benchmark::internal::Benchmark* b) {
    for (auto [n, k] : {std::pair<long, long>{10'000, 5}, {100'000, 20}, {1'000'000, 20}}) {
        for (long t : {1L, 4L}) b->Args({n, k, t, 0});
        b->Args({n, k, 4, 1});
    }
    b->ArgNames({"N", "K", "T", "nan"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Predict)->Apply(PredictArgs);

}  // namespace

BENCHMARK_MAIN();

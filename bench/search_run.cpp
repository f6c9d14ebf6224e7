// A whole-process view of the search runs, qel_grid and qel_maxfit, for
// profilers and for timing one build against another:
//
//   search_run grid   N K [calls] [censor] [inner] [nan_share]
//   search_run maxfit N K [calls] [censor] [inner] [nan_share]
//
// Four thresholds (0.0, 0.2, 0.5, 0.8); censor is "relevance", "similarity"
// or "both" (the default), inner is "auto" or "off" (the default: "off" for
// the grid, "auto" for max-fit). The grid runs every combination of the K
// attributes (K <= 10, so all 2^K - 1 of them fit in its default limit).
// Prints one line per call with its time and the first prediction.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qelcore.h"

namespace {

struct SplitMix {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double bell() { return unit() + unit() + unit() + unit() - 2.0; }
};

int fail(const char* what, int32_t status) {
    std::fprintf(stderr, "%s: status %d: %s\n", what, status, qel_last_error());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || (std::strcmp(argv[1], "grid") != 0 && std::strcmp(argv[1], "maxfit") != 0)) {
        std::fprintf(stderr, "usage: %s grid|maxfit N K [calls] [censor] [inner] [nan_share]\n", argv[0]);
        return 2;
    }
    const bool grid = std::strcmp(argv[1], "grid") == 0;
    const std::size_t n = std::strtoull(argv[2], nullptr, 10);
    const std::size_t k = std::strtoull(argv[3], nullptr, 10);
    const int calls = argc > 4 ? std::atoi(argv[4]) : 1;
    const char* censor = argc > 5 ? argv[5] : "both";
    const char* inner = argc > 6 ? argv[6] : (grid ? "off" : "auto");
    const double nan_share = argc > 7 ? std::atof(argv[7]) : 0.0;

    SplitMix rng{2024};
    std::vector<double> x(n * k), y(n), theta(k);
    for (std::size_t i = 0; i < n; ++i) {
        double acc = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            const double v = rng.bell() * static_cast<double>(1 + j % 3);
            x[i * k + j] = v;
            acc += v * (j % 2 == 0 ? 1.0 : -0.5) / static_cast<double>(j + 1);
        }
        y[i] = acc + 0.7 * rng.bell();
    }
    if (nan_share > 0.0) {
        for (double& v : x) {
            if (rng.unit() < nan_share) v = __builtin_nan("");
        }
    }
    for (double& v : theta) v = 0.4 * rng.bell();
    const double thr[] = {0.0, 0.2, 0.5, 0.8};

    QelGridOptions* g = nullptr;
    QelMaxFitOptions* m = nullptr;
    int32_t st = 0;
    if (grid) {
        g = qel_grid_options_create();
        if ((st = qel_grid_options_set_threshold(g, thr, 4)) != 0) return fail("threshold", st);
        if ((st = qel_grid_options_set_censor_type_str(g, censor)) != 0) return fail("censor", st);
        if ((st = qel_grid_options_set_inner_parallel_str(g, inner)) != 0) return fail("inner", st);
    } else {
        m = qel_maxfit_options_create();
        if ((st = qel_maxfit_options_set_threshold(m, thr, 4)) != 0) return fail("threshold", st);
        if ((st = qel_maxfit_options_set_censor_type_str(m, censor)) != 0) return fail("censor", st);
        if ((st = qel_maxfit_options_set_inner_parallel_str(m, inner)) != 0) return fail("inner", st);
    }

    for (int c = 0; c < calls; ++c) {
        QelPredictionResults* res = nullptr;
        const auto t0 = std::chrono::steady_clock::now();
        st = grid ? qel_grid(y.data(), n, x.data(), n, k, QEL_LAYOUT_ROW_MAJOR, theta.data(), k, g, &res)
                  : qel_maxfit(y.data(), n, x.data(), n, k, QEL_LAYOUT_ROW_MAJOR, theta.data(), k, m, &res);
        const auto t1 = std::chrono::steady_clock::now();
        if (st != 0) return fail(grid ? "qel_grid" : "qel_maxfit", st);
        double yhat = 0.0;
        qel_results_copy_yhat(res, &yhat, 1);
        qel_prediction_results_free(res);
        std::printf("call %d: %.1f ms (yhat %.17g)\n", c, std::chrono::duration<double, std::milli>(t1 - t0).count(),
                    yhat);
    }
    qel_grid_options_free(g);
    qel_maxfit_options_free(m);
    return 0;
}

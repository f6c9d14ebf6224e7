// A whole-process view of the search runs, qel_grid and qel_maxfit, for
// profilers and for timing one build of the library against another:
//
//   search_run grid   N K [calls] [censor] [inner] [nan_share]
//   search_run maxfit N K [calls] [censor] [inner] [nan_share]
//
// Four thresholds (0.0, 0.2, 0.5, 0.8); censor is "relevance", "similarity"
// or "both" (the default); inner is "auto" or "off" (default: "off" for the
// grid, "auto" for max-fit). The grid runs every combination of the K
// attributes: its limit is raised to all 2^K - 1 of them where its default of
// 1000 is fewer (K >= 10).
// Prints one line per call with its time and the composite or chosen
// prediction, and the median of the calls after the first.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host_sample.hpp"
#include "qelcore.h"

namespace {

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
    const int calls = argc > 4 ? std::max(1, std::atoi(argv[4])) : 1;
    const char* censor = argc > 5 ? argv[5] : "both";
    const char* inner = argc > 6 ? argv[6] : (grid ? "off" : "auto");
    const double nan_share = argc > 7 ? std::atof(argv[7]) : 0.0;

    const test_support::Sample s = test_support::linear_sample(n, k, 12345, nan_share);
    const double thr[] = {0.0, 0.2, 0.5, 0.8};

    QelGridOptions* g = nullptr;
    QelMaxFitOptions* m = nullptr;
    int32_t st = 0;
    if (grid) {
        g = qel_grid_options_create();
        if ((st = qel_grid_options_set_threshold(g, thr, 4)) != 0) return fail("threshold", st);
        if ((st = qel_grid_options_set_censor_type_str(g, censor)) != 0) return fail("censor", st);
        if ((st = qel_grid_options_set_inner_parallel_str(g, inner)) != 0) return fail("inner", st);
        const std::size_t all = k < 64 ? (std::size_t{1} << k) - 1 : SIZE_MAX;
        if ((st = qel_grid_options_set_max_iter(g, std::max<std::size_t>(1000, all))) != 0) return fail("max_iter", st);
    } else {
        m = qel_maxfit_options_create();
        if ((st = qel_maxfit_options_set_threshold(m, thr, 4)) != 0) return fail("threshold", st);
        if ((st = qel_maxfit_options_set_censor_type_str(m, censor)) != 0) return fail("censor", st);
        if ((st = qel_maxfit_options_set_inner_parallel_str(m, inner)) != 0) return fail("inner", st);
    }

    std::vector<double> ms;
    for (int c = 0; c < calls; ++c) {
        QelPredictionResults* res = nullptr;
        const auto t0 = std::chrono::steady_clock::now();
        st = grid ? qel_grid(s.y.data(), n, s.x.data(), n, k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), k, g, &res)
                  : qel_maxfit(s.y.data(), n, s.x.data(), n, k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), k, m, &res);
        const auto t1 = std::chrono::steady_clock::now();
        if (st != 0) return fail(grid ? "qel_grid" : "qel_maxfit", st);
        double yhat = 0.0;
        qel_results_copy_yhat(res, &yhat, 1);
        qel_prediction_results_free(res);
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        std::printf("call %d: %.1f ms (yhat %.17g)\n", c, ms.back(), yhat);
    }
    std::vector<double> steady(ms.begin() + (calls > 1 ? 1 : 0), ms.end());
    std::sort(steady.begin(), steady.end());
    std::printf("first %.1f ms, median of the rest %.1f ms\n", ms.front(), steady[steady.size() / 2]);
    qel_grid_options_free(g);
    qel_maxfit_options_free(m);
    return 0;
}

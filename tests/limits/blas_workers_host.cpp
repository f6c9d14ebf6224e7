// A host that loads the library and calls it at once. OpenBLAS starts its
// worker threads when it loads, and they wait for work on the processors; the
// library stops them once they have taken their buffers, so that they do not
// compete with the first call. Afterwards OpenBLAS must still thread a call
// of the host's own and get it right, and the library must still invert.
//
// Exit status: 0 as it should be; 1 not; 77 skipped (one OpenBLAS thread, so
// no workers; or a sanitizer, whose own thread keeps them running).
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../support/sanitized.hpp"
#include "qelcore.h"

namespace {

long threads_in_process() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    long threads = 0;
    char line[256];
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "Threads: %ld", &threads) == 1) break;
    }
    if (status != nullptr) std::fclose(status);
    return threads;
}

template <class F>
F openblas(const char* name) {
    void* symbol = dlsym(RTLD_DEFAULT, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "%s: not found\n", name);
        std::_Exit(1);
    }
    return reinterpret_cast<F>(symbol);
}

bool check(bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "failed: %s\n", what);
    return ok;
}

}  // namespace

int main() {
#ifdef QEL_TEST_SANITIZED
    std::puts("skipped: a sanitizer's own thread keeps OpenBLAS's workers running");
    return 77;
#else
    const auto blas_threads = openblas<int (*)()>("openblas_get_num_threads");
    const auto daxpy = openblas<void (*)(int, double, const double*, int, double*, int)>("cblas_daxpy");
    const int threads = blas_threads();
    if (threads < 2) {
        std::puts("skipped: OpenBLAS runs one thread");
        return 77;
    }
    bool ok = check(threads_in_process() == 1, "OpenBLAS's workers still run after the library loaded");

    // Long enough for OpenBLAS to split it over its threads, which it starts
    // again for it.
    const int n = 1 << 20;
    std::vector<double> x(n), y(n);
    for (int i = 0; i < n; ++i) {
        x[i] = i;
        y[i] = 0.5 * i;
    }
    daxpy(n, 2.0, x.data(), 1, y.data(), 1);
    bool right = true;
    for (int i = 0; i < n; ++i) right = right && y[i] == 2.5 * i;
    ok = check(right, "a threaded daxpy after the library loaded") && ok;
    ok = check(threads_in_process() == threads, "OpenBLAS did not start its workers again") && ok;

    // The library's own inversion still runs, with the workers back.
    const double xs[] = {1, 0, 0, 1, 1, 1, 2, 1, 0, 2, 3, 5, 1, 4};
    const double ys[] = {1, 2, 3, 4, 5, 6, 7};
    const double theta[] = {1, 2};
    QelPredictionResults* results = nullptr;
    const int32_t status = qel_predict(ys, 7, xs, 7, 2, QEL_LAYOUT_ROW_MAJOR, theta, 2, nullptr, &results);
    ok = check(status == QEL_STATUS_OK, qel_last_error()) && ok;
    qel_prediction_results_free(results);
    std::printf("%d OpenBLAS threads: %s\n", threads, ok ? "as expected" : "not as expected");
    return ok ? 0 : 1;
#endif
}

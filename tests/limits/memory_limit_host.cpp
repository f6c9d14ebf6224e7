// A host that limits its own address space after loading the library, then
// makes one call that needs more than the limit leaves. The call must return
// (status 5 with a message that says only that memory ran out, naming the
// call, and nothing on standard error; or 0 should it fit): OpenBLAS retries
// a work buffer it cannot allocate for ever, so a LAPACK call that had to
// allocate one at this point would never return. ctest's time limit turns
// such a hang into a failure.
//
// Usage: qel_memory_limit_host relevance|relevance_metrics|predict
// Exit status: 0 the call returned as it should; 1 it returned something
// else; 77 skipped (a sanitizer's shadow memory defeats address-space limits).
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "../support/sanitized.hpp"
#include "qelcore.h"

#ifdef QEL_TEST_SANITIZED

int main() {
    std::puts("skipped: address-space limits do not work under a sanitizer");
    return 77;
}

#else

namespace {

// Bytes mapped by the process now (the first field of statm, in pages).
size_t mapped_bytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) {
        std::perror("/proc/self/statm");
        std::_Exit(1);
    }
    std::fclose(statm);
    return static_cast<size_t>(pages) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string call = argc == 2 ? argv[1] : "";
    if (call != "relevance" && call != "relevance_metrics" && call != "predict") {
        std::fprintf(stderr, "usage: %s relevance|relevance_metrics|predict\n", argv[0]);
        return 1;
    }
    // 80 MB of attributes; the host's own buffers are in place before the limit.
    const size_t n = 1000000, k = 10;
    std::mt19937_64 rng(1);
    std::normal_distribution<double> normal;
    std::vector<double> x(n * k), y(n), theta(k, 0.1), out(n);
    for (double& v : x) v = normal(rng);
    for (double& v : y) v = normal(rng);

    // What the library writes on standard error goes to a file, to be read
    // back after the call.
    std::FILE* err = std::tmpfile();
    if (err == nullptr || dup2(fileno(err), STDERR_FILENO) < 0) {
        std::perror("stderr");
        return 1;
    }

    // 100 MiB more than is mapped now: the call's own arrays take most of it,
    // and a new OpenBLAS buffer (128 MiB) does not fit.
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = mapped_bytes() + (size_t{100} << 20);
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
        std::perror("setrlimit");
        return 1;
    }

    int32_t status = -1;
    if (call == "relevance") {
        status = qel_relevance(x.data(), n, k, QEL_LAYOUT_ROW_MAJOR, theta.data(), k, nullptr, QEL_LAYOUT_ROW_MAJOR,
                               out.data(), n);
    } else if (call == "relevance_metrics") {
        status = qel_relevance_metrics(x.data(), n, k, QEL_LAYOUT_ROW_MAJOR, theta.data(), k, nullptr,
                                       QEL_LAYOUT_ROW_MAJOR, out.data(), n, nullptr, 0, nullptr, 0, nullptr, 0);
    } else {
        QelPredictionResults* results = nullptr;
        status = qel_predict(y.data(), n, x.data(), n, k, QEL_LAYOUT_ROW_MAJOR, theta.data(), k, nullptr, &results);
        qel_prediction_results_free(results);
    }
    const std::string message = qel_last_error();
    const long reported = std::ftell(err);
    std::printf("%s under a limit: status %d, \"%s\", %ld bytes on standard error\n", call.c_str(), status,
                message.c_str(), reported);
    const bool ran_out = status == QEL_STATUS_COMPUTE_FAILED && message == "qel_" + call + ": out of memory (an allocation failed)";
    return (status == QEL_STATUS_OK || ran_out) && reported == 0 ? 0 : 1;
}

#endif

// Squared Mahalanobis distances at prediction scale (N = 1,000,000 rows),
// single-threaded, against one matrix product of the same N x K by K x K shape.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <random>

#include "toolbox/matrix/array.hpp"
#include "toolbox/matrix/lapack.hpp"
#include "toolbox/stats/distances.hpp"

namespace {

using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

constexpr std::size_t kRows = 1'000'000;

struct Data {
    Matrix x;
    Vector a, b;
    Matrix c;
};

Data make_data(std::size_t k) {
    std::mt19937_64 rng(42);
    std::normal_distribution<double> nd;
    Data d{Matrix::uninit(kRows, k), Vector::uninit(k), Vector::uninit(k), Matrix::uninit(k, k)};
    for (double& v : d.x.flat()) v = nd(rng);
    for (double& v : d.a) v = nd(rng);
    for (double& v : d.b) v = nd(rng);
    // A symmetric positive definite matrix, as an inverse covariance is.
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = 0; j <= i; ++j) d.c(i, j) = d.c(j, i) = (i == j) ? 2.0 : 0.1 / double(1 + i + j);
    return d;
}

void single_thread() { toolbox::matrix::lapack::set_blas_threads(1); }

void BM_MahalanobisPair(benchmark::State& state) {
    single_thread();
    const Data d = make_data(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto r = toolbox::stats::distances::mahalanobis_pair(d.x, d.a, d.b, d.c);
        benchmark::DoNotOptimize(r);
    }
}

void BM_Mahalanobis(benchmark::State& state) {
    single_thread();
    const Data d = make_data(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto r = toolbox::stats::distances::mahalanobis(d.x, d.a, d.c);
        benchmark::DoNotOptimize(r);
    }
}

// The reference: one product N x K by K x K.
void BM_DgemmReference(benchmark::State& state) {
    single_thread();
    const std::size_t k = static_cast<std::size_t>(state.range(0));
    const Data d = make_data(k);
    Matrix t(kRows, k);  // touched before timing
    for (auto _ : state) {
        toolbox::matrix::lapack::dgemm(toolbox::matrix::lapack::Trans::No, toolbox::matrix::lapack::Trans::No, kRows,
                                       k, k, 1.0, d.x.data(), k, d.c.data(), k, 0.0, t.data(), k);
        benchmark::DoNotOptimize(t.data());
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(BM_MahalanobisPair)->Arg(5)->Arg(20)->Arg(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mahalanobis)->Arg(5)->Arg(20)->Arg(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DgemmReference)->Arg(5)->Arg(20)->Arg(40)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // A long-running host reuses freed memory; without this, glibc returns the
    // output arrays to the system after every call and each call then pays
    // the first-touch page faults of 8-16 MB, which swamp the arithmetic.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

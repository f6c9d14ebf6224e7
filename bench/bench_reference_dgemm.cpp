// Reference figure for the covariance benchmarks: one OpenBLAS product of an
// N x K matrix by a K x K matrix (N = 1,000,000), one thread.
#include <benchmark/benchmark.h>

#include <random>

#include "toolbox/matrix/array.hpp"
#include "toolbox/matrix/lapack.hpp"

namespace {

using toolbox::matrix::Matrix;
namespace lapack = toolbox::matrix::lapack;

constexpr std::size_t kRows = 1'000'000;

Matrix random_matrix(std::size_t rows, std::size_t cols, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    Matrix m = Matrix::uninit(rows, cols);
    for (double& v : m.flat()) v = unit(rng);
    return m;
}

void BM_dgemm_tall_by_square(benchmark::State& state) {
    const auto k = static_cast<std::size_t>(state.range(0));
    const Matrix a = random_matrix(kRows, k, 1);
    const Matrix b = random_matrix(k, k, 2);
    Matrix c(kRows, k);
    for (auto _ : state) {
        lapack::dgemm(lapack::Trans::No, lapack::Trans::No, kRows, k, k, 1.0, a.data(), k, b.data(), k, 0.0, c.data(),
                      k);
        benchmark::DoNotOptimize(c.data());
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_dgemm_tall_by_square)->Arg(5)->Arg(20)->Arg(40)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    lapack::set_blas_threads(1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

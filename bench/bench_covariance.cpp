// Covariance of a tall data matrix (N = 1,000,000 observations, K = 20
// attributes), complete and with about 5% of the values missing; one thread.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/lapack.hpp"

namespace {

using toolbox::matrix::Matrix;
namespace cv = toolbox::matrix::covariance;

constexpr std::size_t kRows = 1'000'000;
constexpr std::size_t kCols = 20;

Matrix make_data(double missing_share) {
    std::mt19937_64 rng(20240611);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Matrix x = Matrix::uninit(kRows, kCols);
    for (std::size_t i = 0; i < kRows; ++i)
        for (std::size_t j = 0; j < kCols; ++j) {
            const double v = normal(rng) + 0.1 * static_cast<double>(j);
            x(i, j) = unit(rng) < missing_share ? std::nan("") : v;
        }
    return x;
}

const Matrix& complete_data() {
    static const Matrix x = make_data(0.0);
    return x;
}

const Matrix& missing_data() {
    static const Matrix x = make_data(0.05);
    return x;
}

void BM_cov(benchmark::State& state) {
    const Matrix& x = complete_data();
    for (auto _ : state) benchmark::DoNotOptimize(cv::cov(x));
}

void BM_cov_on_missing_data(benchmark::State& state) {
    const Matrix& x = missing_data();
    for (auto _ : state) benchmark::DoNotOptimize(cv::cov(x));
}

void BM_nancov_pairwise(benchmark::State& state) {
    const Matrix& x = missing_data();
    for (auto _ : state) benchmark::DoNotOptimize(cv::nancov(x, false));
}

void BM_nancov_listwise(benchmark::State& state) {
    const Matrix& x = missing_data();
    for (auto _ : state) benchmark::DoNotOptimize(cv::nancov(x, true));
}

void BM_nancov_complete_data(benchmark::State& state) {
    const Matrix& x = complete_data();
    for (auto _ : state) benchmark::DoNotOptimize(cv::nancov(x, false));
}

// What a pairwise covariance of data with missing values costs before its
// inversion, against the inversion itself, at K attributes (the argument).
Matrix pairwise_cov_of(std::size_t k) {
    Matrix x = Matrix::uninit(2000, k);
    for (std::size_t i = 0; i < x.rows(); ++i)
        for (std::size_t j = 0; j < k; ++j)
            x(i, j) = missing_data()(i, j % kCols) + 0.01 * static_cast<double>(i % 7 * j);
    return cv::nancov(x, false);
}

void BM_pairwise_definite_check(benchmark::State& state) {
    const Matrix c = pairwise_cov_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(cv::check_pairwise_definite(c));
}

void BM_invert_pairwise_cov(benchmark::State& state) {
    const Matrix c = pairwise_cov_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(cv::invert_cov(c, toolbox::enums::InversionMethod::Gaussian));
}

BENCHMARK(BM_cov)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cov_on_missing_data)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nancov_pairwise)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nancov_listwise)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nancov_complete_data)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pairwise_definite_check)->Arg(20)->Arg(64)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_invert_pairwise_cov)->Arg(20)->Arg(64)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    toolbox::matrix::lapack::set_blas_threads(1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

#include "fixture.hpp"

#include "toolbox/qel/results/mutators.hpp"

namespace fixture {

namespace res = toolbox::qel::results;

Vector ramp(double base, std::size_t n) {
    Vector v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = base + static_cast<double>(i);
    return v;
}

Matrix grid(double base, std::size_t rows, std::size_t cols) {
    Matrix m(rows, cols);
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) m(i, j) = base + 10.0 * static_cast<double>(i) + static_cast<double>(j);
    return m;
}

Array3d cube(double base, std::size_t d0, std::size_t d1, std::size_t d2) {
    Array3d a(d0, d1, d2);
    for (std::size_t i = 0; i < d0; ++i)
        for (std::size_t j = 0; j < d1; ++j)
            for (std::size_t k = 0; k < d2; ++k)
                a(i, j, k) = base + 100.0 * static_cast<double>(i) + 10.0 * static_cast<double>(j) + static_cast<double>(k);
    return a;
}

PredictionResults bare(std::size_t n, std::size_t k, std::size_t t) {
    return PredictionResults::create(n, k, t, ramp(0.5, t));
}

PredictionResults prediction(std::size_t n, std::size_t k, std::size_t t, std::size_t bins) {
    PredictionResults r = PredictionResults::create(n, k, t, ramp(0.5, t));
    r.core.yhat = ramp(100, t);
    r.core.fit = ramp(200, t);
    r.core.agreement = ramp(300, t);
    r.core.outlier_influence = ramp(400, t);
    r.core.asymmetry = ramp(500, t);
    r.core.adjusted_fit = ramp(600, t);
    r.core.k_fit = ramp(700, t);
    r.core.yhat_linear = Vector{42.0};
    r.insights = res::PredictionInsights{ramp(1000, n), ramp(1100, n), ramp(1200, n), Vector{1300.0}, ramp(1400, t)};
    auto& aux = res::get_or_alloc_auxiliary(r);
    aux.phi = ramp(2000, t);
    aux.lambda_sq = ramp(2100, t);
    aux.full_var = ramp(2200, t);
    aux.part_var = ramp(2300, t);
    aux.r_star = ramp(2400, t);
    aux.r_star_percent = ramp(2500, t);
    for (std::size_t j = 0; j < t; ++j) {
        aux.n[j] = 3 + j;
        aux.k[j] = k;
    }
    r.include = toolbox::matrix::BoolMatrix(n, t);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < t; ++j) (*r.include)(i, j) = (i + j) % 2 == 0;
    r.weights = grid(3000, n, t);
    r.weights_excluded = grid(4000, n, t);
    auto& stats = res::get_or_alloc_solo_statistics(r);
    stats.ysolo_sigma = ramp(5000, t);
    stats.ysolo_skewness = ramp(5100, t);
    stats.ysolo_kurtosis = ramp(5200, t);
    stats.ysolo_pearson_modality_index = ramp(5300, t);
    stats.ysolo_bimodal_index = ramp(5400, t);
    r.solo_distribution->y_solo = ramp(6000, n);
    r.solo_distribution->xi_solo = grid(7000, n, t);
    r.solo_distribution->ysolo_distribution =
        res::YSoloDistributionSummary{ramp(8000, bins + 1), ramp(8100, bins), ramp(8200, bins), grid(9000, bins, t)};
    return r;
}

PredictionResults maxfit(std::size_t n, std::size_t k, std::size_t t0, std::size_t chosen) {
    PredictionResults r = prediction(n, k, t0, 4);
    const double threshold = r.thresholds[chosen];
    res::select_threshold(r, chosen);
    r.thresholds = Vector{threshold};
    r.num_thresholds = 1;
    r.maxfit_index = Vector(t0, 0.0);
    (*r.maxfit_index)[chosen] = 1.0;
    return r;
}

PredictionResults every_part(std::size_t n, std::size_t k, std::size_t t, std::size_t c, std::size_t bins) {
    PredictionResults r = prediction(n, k, t, bins);
    r.auxiliary->rho = ramp(2600, t);
    r.maxfit_index = Vector(t, 0.0);
    if (t > 2) (*r.maxfit_index)[2] = 1.0;
    r.grid_insights = res::GridInsights{ramp(10, k), ramp(20, k), ramp(30, k), ramp(40, k), ramp(50, n)};
    res::CensorGridCells cells{grid(11000, c, t), grid(12000, c, t), grid(13000, c, t), cube(14000, n, t, c),
                               cube(15000, n, t, c)};
    r.grid_cells = res::GridCellsData{std::move(cells), std::nullopt, res::share(grid(16000, n, c)),
                                      res::share(grid(17000, c, t)), res::share(grid(18000, c, k))};
    return r;
}

PredictionResults grid_run(std::size_t n, std::size_t k, std::size_t c) {
    PredictionResults r = PredictionResults::create(n, k, 1, Vector{});
    r.core.yhat = Vector{100.0};
    r.weights = grid(3000, n, 1);
    r.weights_excluded = grid(4000, n, 1);
    r.insights = res::PredictionInsights{};
    r.insights->weights_concentration = Vector{1400.0};
    r.grid_insights = res::GridInsights{ramp(10, k), ramp(20, k), ramp(30, k), ramp(40, k), ramp(50, n)};
    auto& aux = res::get_or_alloc_auxiliary(r);
    aux.n[0] = n;
    aux.k[0] = k;
    aux.rho[0] = 0.25;
    res::CensorGridCells cells{grid(11000, c, 1), grid(12000, c, 1), grid(13000, c, 1), cube(14000, n, 1, c),
                               cube(15000, n, 1, c)};
    r.grid_cells = res::GridCellsData{std::move(cells), std::nullopt, res::share(grid(16000, n, c)),
                                      res::share(grid(17000, c, 1)), res::share(grid(18000, c, k))};
    return r;
}

}  // namespace fixture

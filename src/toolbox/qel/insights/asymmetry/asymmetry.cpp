#include "toolbox/qel/insights/asymmetry/asymmetry.hpp"

#include <optional>
#include <utility>

#include "toolbox/parallel/pool.hpp"
#include "toolbox/qel/insights/fit/fit.hpp"

namespace toolbox::qel::insights::asymmetry {

using matrix::MatView;
using matrix::Vector;
using matrix::VecView;

Vector asymmetry_from_rho(VecView n, VecView rho_in, VecView rho_ex, std::size_t n_obs) {
    const std::size_t t = rho_in.size();
    require(rho_ex.size() == t && n.size() == t, "asymmetry: per-threshold lengths differ");
    const double n_total = static_cast<double>(n_obs);
    Vector out = Vector::uninit(t);
    for (std::size_t k = 0; k < t; ++k) {
        const double d = rho_in[k] - rho_ex[k];
        const double a = (d * d) * 0.5;
        const double e = n[k] == n_total ? 0.0 : 1.0;
        out[k] = a * e;
    }
    return out;
}

Result<AsymmetryResult> asymmetry(VecView n, MatView weights, MatView weights_excluded, VecView y) {
    // The two sides' statistics are independent; for many rows they run side
    // by side. The included side's error, if any, is the one reported.
    // Side by side each works out the spread of y for itself, which keeps
    // that chain of sums off the path both wait on; one after the other,
    // once serves both.
    const bool side_by_side = weights.rows() >= parallel::kParallelRowsFrom;
    std::optional<fit::OutcomeSpread> spread;
    if (!side_by_side) spread = fit::outcome_spread(y);
    const fit::OutcomeSpread* shared = spread ? &*spread : nullptr;
    std::optional<Result<fit::FitResult>> in, ex;
    parallel::join_if(
        side_by_side, [&] { in.emplace(fit::fit_auto_vectorized(weights, y, nullptr, shared)); },
        [&] { ex.emplace(fit::fit_auto_vectorized(weights_excluded, y, nullptr, shared)); });
    if (!*in) return std::unexpected(std::move(in->error()));
    if (!*ex) return std::unexpected(std::move(ex->error()));
    return asymmetry_of_fits(n, std::move(**in), std::move(**ex), y.size());
}

AsymmetryResult asymmetry_of_fits(VecView n, fit::FitResult in, fit::FitResult ex, std::size_t n_obs) {
    AsymmetryResult out;
    out.asymmetry = asymmetry_from_rho(n, in.rho, ex.rho, n_obs);
    out.stats.fit = std::move(in.fit);
    out.stats.rho = std::move(in.rho);
    out.stats.fit_excluded = std::move(ex.fit);
    out.stats.rho_excluded = std::move(ex.rho);
    out.stats.outlier_influence = std::move(in.outlier_influence);
    out.stats.agreement = std::move(in.agreement);
    out.stats.n = Vector::from(n);
    return out;
}

}  // namespace toolbox::qel::insights::asymmetry

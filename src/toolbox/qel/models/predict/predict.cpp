#include "toolbox/qel/models/predict/predict.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "toolbox/format.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/inversion.hpp"
#include "toolbox/matrix/rowwise.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/qel/insights/fit/weight_columns.hpp"
#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"
#include "toolbox/qel/models/binary/binary.hpp"
#include "toolbox/qel/models/inputs/inputs.hpp"
#include "toolbox/qel/results/mutators.hpp"
#include "toolbox/stats/linear_regression.hpp"

namespace toolbox::qel::models::predict {

using matrix::BoolMatView;
using matrix::MatView;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;
using results::PredictionResults;
namespace psr = insights::weights::psr_weights;
namespace solo_dist = insights::solo_distributions;

namespace {

namespace pw = insights::weights::prediction_weights;

// The censor of a prediction run, from its options. A run censors on one
// score; both in turn is what the search runs do, one run per censor type.
Result<pw::CensorSettings> censor_of(const config::PredictOptions& options) {
    if (options.censor_type == enums::CensorType::Both) {
        return compute_error(
            "CensorType::Both is not supported in predict functions. Please use either CensorType::Relevance or "
            "CensorType::Similarity. CensorType::Both is only available in maxfit and grid functions.");
    }
    return pw::CensorSettings{options.censor_type, options.censor_operator, options.censor_unit,
                              config::thresholds_of(options)};
}

// The relevance vector and the include mask that the weights step stored,
// checked in this order.
struct RelevanceAndInclude {
    VecView relevance;
    BoolMatView include;
};

Result<RelevanceAndInclude> relevance_and_include(const PredictionResults& r) {
    if (!r.insights || !r.insights->relevance) return compute_error("Relevance scores not available in results");
    if (!r.include) return compute_error("Include mask not available in results");
    return RelevanceAndInclude{r.insights->relevance->view(), r.include->view()};
}

double adj_fit_factor(enums::AdjFitMultiplier m, double k) {
    switch (m) {
        case enums::AdjFitMultiplier::Identity: return 1.0;
        case enums::AdjFitMultiplier::K: return k;
        default: return std::log(1.0 + k);
    }
}

}  // namespace

Result<void> check_covariance_finite(MatView cov, std::span<const std::size_t> columns) {
    // Inverted, a NaN spreads into every relevance (or, by the pseudoinverse,
    // gives a zero matrix) and every weight comes out the same, so the
    // prediction means nothing; an infinity can keep LAPACK's SVD from ever
    // returning. Say so instead.
    constexpr std::string_view kCauses =
        "(an infinite or overflowing value, a column with fewer than two observed values, fewer than two complete "
        "rows where only those count, or a single observation)";
    auto column = [&](std::size_t a) { return columns.empty() ? a : columns[a]; };
    std::size_t non_finite = 0;
    std::optional<std::size_t> first_diagonal;
    std::optional<std::pair<std::size_t, std::size_t>> first_pair;
    for (std::size_t a = 0; a < cov.rows(); ++a) {
        for (std::size_t b = 0; b < cov.cols(); ++b) {
            if (std::isfinite(cov(a, b))) continue;
            ++non_finite;
            if (a == b && !first_diagonal) first_diagonal = a;
            if (a < b && !first_pair) first_pair = {a, b};
        }
    }
    if (non_finite == 0) return {};
    // No entry at all (one observation, or no complete row under the
    // complete-rows rule) says nothing about a column.
    if (non_finite == cov.size()) {
        return compute_error(format("covariance of X is not finite for any column {}", kCauses));
    }
    if (first_diagonal) {
        return compute_error(
            format("covariance of X is not finite for column {} {}", column(*first_diagonal), kCauses));
    }
    return compute_error(format(
        "covariance of X is not finite for columns {} and {} (an infinite or overflowing value, or fewer than two rows "
        "where both are observed)",
        column(first_pair->first), column(first_pair->second)));
}

Result<Matrix> inverse_of_covariance(MatView cov, enums::InversionMethod method, std::span<const std::size_t> columns,
                                     bool pairwise) {
    if (auto finite = check_covariance_finite(cov, columns); !finite) return std::unexpected(std::move(finite.error()));
    if (pairwise) {
        if (auto definite = matrix::covariance::check_pairwise_definite(cov); !definite)
            return std::unexpected(std::move(definite.error()));
    }
    return matrix::inversion::inv_with_method(cov, method);
}

namespace {

// What the solo step leaves for the results store.
struct SoloOutcome {
    Vector y_solo;
    Matrix xi_solo;
    results::SoloDistributionStatistics statistics;
    std::optional<results::YSoloDistributionSummary> histogram;
};

struct PredictionsAndSolo {
    Vector yhat;  // on the prediction scale
    std::optional<SoloOutcome> solo;
};

// The solo distribution of the run (its solo predictions and weights).
Result<solo_dist::SoloDistributionParts> solo_distribution_of(const PredictionResults& results, VecView y,
                                                              VecView relevance, BoolMatView include) {
    if (!results.insights->info_theta) return compute_error("Info theta not available in results");
    return solo_dist::compute_solo_distribution(y, relevance, include, results.insights->info_theta->view());
}

// The predictions on their scale and, given the solo distribution, its
// statistics and, with `histogram`, its histogram.
Result<PredictionsAndSolo> predictions_and_solo(VecView y, MatView x, Vector yhat,
                                                std::optional<solo_dist::SoloDistributionParts> parts,
                                                std::optional<MatView> cov_inv, bool logistic, bool histogram) {
    PredictionsAndSolo out;
    if (!parts) {
        if (logistic) {
            auto p = binary::logistic_probability_from_yhat(y, x, yhat.view(), cov_inv);
            if (!p) return std::unexpected(std::move(p.error()));
            yhat = std::move(*p);
        }
        out.yhat = std::move(yhat);
        return out;
    }
    SoloOutcome s;
    s.y_solo = std::move(parts->y_solo);
    s.xi_solo = std::move(parts->xi_solo);
    if (logistic) {
        auto p = binary::logistic_probabilities(y, x, yhat.view(), s.y_solo.view(), cov_inv);
        if (!p) return std::unexpected(std::move(p.error()));
        yhat = std::move(p->first);
        s.y_solo = std::move(p->second);
    }
    // The moments and the histogram read the same solo distribution and are
    // independent of each other; for many rows they run side by side.
    std::optional<Result<results::SoloDistributionStatistics>> moments;
    parallel::join_if(
        s.y_solo.size() >= parallel::kParallelRowsFrom,
        [&] { moments.emplace(solo_dist::solo_statistics_record(s.y_solo.view(), s.xi_solo.view(), yhat.view())); },
        [&] {
            if (!histogram) return;
            // A histogram that cannot be built is left out; the prediction stands.
            auto h = solo_dist::compute_ysolo_summary(s.y_solo.view(), s.xi_solo.view(), stats::histogram::kOutlierFactor);
            if (h) s.histogram = std::move(*h);
        });
    if (!*moments) return std::unexpected(std::move(moments->error()));
    s.statistics = std::move(**moments);
    out.yhat = std::move(yhat);
    out.solo = std::move(s);
    return out;
}

}  // namespace

insights::asymmetry::AsymmetryResult asymmetry_from_psr_stream(VecView n, VecView y, VecView relevance,
                                                              BoolMatView include, BoolMatView exclude,
                                                              const psr::PsrEval& eval,
                                                              const insights::fit::OutcomeSpread* known_spread) {
    const psr::OutcomeSpread spread = known_spread ? *known_spread : psr::outcome_spread(y);
    auto fit_in = psr::psr_stream_fit(y, spread, relevance, include, eval.include_side, eval.n_total);
    auto fit_ex = psr::psr_stream_fit(y, spread, relevance, exclude, eval.exclude_side, eval.n_total);
    return asymmetry_of_streamed_fits(n, std::move(fit_in), std::move(fit_ex), y.size());
}

insights::asymmetry::AsymmetryResult asymmetry_of_streamed_fits(VecView n, insights::fit::FitResult fit_in,
                                                               insights::fit::FitResult fit_ex, std::size_t n_obs) {
    Vector asym = insights::asymmetry::asymmetry_from_rho(n, fit_in.rho.view(), fit_ex.rho.view(), n_obs);
    insights::asymmetry::AsymmetryStats stats;
    stats.fit = std::move(fit_in.fit);
    stats.rho = std::move(fit_in.rho);
    stats.rho_excluded = std::move(fit_ex.rho);
    stats.outlier_influence = std::move(fit_in.outlier_influence);
    stats.agreement = std::move(fit_in.agreement);
    stats.n = Vector::from(n);
    return {std::move(asym), std::move(stats)};
}

namespace {

// What follows the weights when they are materialised over many rows.
struct AfterWeights {
    std::optional<Result<solo_dist::SoloDistributionParts>> solo_parts;
    Result<PredictionsAndSolo> predicted = compute_error("");
    std::optional<Result<insights::fit::FitResult>> fit_in, fit_ex;
    Vector concentration;
};

// The steps after materialised weights of many rows, as two branches side by
// side that each wait only for what they read. One: the solo distribution
// and the included weights' predictions, then the predictions on their scale
// with the solo statistics and histogram. Two: the column sums of both
// sides' weights and the spread of y, each a pass of its own, then both
// sides' fit statistics from them and, apart, the included weights' spread,
// whose chain through a division is the longest.
AfterWeights after_materialised_weights(const PredictionResults& results, VecView y, MatView x,
                                        const RelevanceAndInclude& ri, std::optional<MatView> cov_inv,
                                        const PipelineParts& parts, bool logistic) {
    AfterWeights out;
    const MatView w_in = results.weights->view();
    const MatView w_ex = results.weights_excluded->view();
    parallel::join(
        [&] {
            std::optional<insights::fit::WeightColumnPasses> included;
            parallel::join(
                [&] {
                    if (parts.solo) out.solo_parts.emplace(solo_distribution_of(results, y, ri.relevance, ri.include));
                },
                [&] { included = insights::fit::weight_column_sums(w_in, y); });
            if (out.solo_parts && !*out.solo_parts) return;
            std::optional<solo_dist::SoloDistributionParts> solo;
            if (out.solo_parts) solo = std::move(**out.solo_parts);
            out.predicted = predictions_and_solo(y, x, std::move(included->weighted_outcomes), std::move(solo),
                                                 cov_inv, logistic, parts.ysolo_histogram);
        },
        [&] {
            insights::fit::OutcomeSpread spread;
            Vector sums_in, sums_ex;
            // A shape the fit step refuses is left to it to report.
            auto column_sums_of = [&](MatView w, Vector& sums) {
                if (w.rows() != y.size()) return;
                sums = Vector::uninit(w.cols());
                matrix::rowwise::column_sums(w, sums.data());
            };
            parallel::join(
                [&] { spread = parts.outcome_spread ? *parts.outcome_spread : insights::fit::outcome_spread(y); },
                [&] {
                    parallel::join([&] { column_sums_of(w_in, sums_in); }, [&] { column_sums_of(w_ex, sums_ex); });
                });
            auto sums_or_none = [](const Vector& sums) { return sums.empty() ? nullptr : sums.data(); };
            parallel::join(
                [&] {
                    parallel::join(
                        [&] {
                            out.fit_in.emplace(
                                insights::fit::fit_auto_vectorized(w_in, y, sums_or_none(sums_in), &spread));
                        },
                        [&] {
                            out.fit_ex.emplace(
                                insights::fit::fit_auto_vectorized(w_ex, y, sums_or_none(sums_ex), &spread));
                        });
                },
                [&] { out.concentration = insights::fit::weights_concentration_from_matrix(w_in); });
        });
    return out;
}

}  // namespace

namespace {

// The pipeline of a run whose censor is settled.
Result<PredictInnerResult> run_pipeline(VecView y, MatView x, VecView theta, const config::PredictOptions& options,
                                        const pw::CensorSettings& censor, InsightSource source,
                                        const PipelineParts& parts) {
    const std::size_t n_obs = x.rows();
    const std::size_t k_vars = x.cols();
    const std::size_t t = censor.thresholds.size();

    Matrix computed_cov_inv;
    MatView cov_inv;
    // The column means of the relevance come from the covariance's own pass
    // over x when the run computes a covariance and its relevance.
    matrix::covariance::MeanAndN means;
    if (options.cov_inv) {
        cov_inv = options.cov_inv->view();
    } else {
        auto [cov, m, pairwise] = matrix::covariance::nancov_with_means(
            x, options.missing_moments == enums::MissingMoments::Complete);
        means = std::move(m);
        if (std::holds_alternative<InsightSource::Compute>(source.kind) &&
            std::get<InsightSource::Compute>(source.kind).means == nullptr) {
            source = InsightSource::compute(&means);
        }
        auto inv = inverse_of_covariance(cov.view(), options.inv_method, {}, pairwise);
        if (!inv) return std::unexpected(std::move(inv.error()));
        computed_cov_inv = std::move(*inv);
        cov_inv = computed_cov_inv.view();
    }

    PredictionResults results = PredictionResults::create(n_obs, k_vars, t, Vector::from(censor.thresholds));

    // The spread of materialised weights is this pipeline's to compute, in
    // one pass with the other sums that the steps below take from them.
    auto weighed = pw::prediction_weights_with_insights(results, x, theta, censor, cov_inv, std::move(source),
                                                        parts.weights, options.missing_moments);
    if (!weighed) return std::unexpected(std::move(weighed.error()));
    Vector n_retained = std::move(weighed->n);
    std::optional<psr::GridPsrSummary> summary = std::move(weighed->summary);
    auto ri = relevance_and_include(results);
    if (!ri) return std::unexpected(std::move(ri.error()));
    if (parts.finite_scores_required) {
        const auto& scores = censor.type == enums::CensorType::Similarity ? results.insights->similarity
                                                                          : results.insights->relevance;
        require(scores.has_value(), "censor scores not available in results");
        if (auto r = inputs::check_censor_scores(scores->view(), censor.type); !r)
            return std::unexpected(std::move(r.error()));
        if (auto r = inputs::check_rows_with_relevance(ri->relevance); !r) return std::unexpected(std::move(r.error()));
    }
    if (!summary) {
        if (!results.weights) return compute_error("Weights not available in results");
        if (!results.weights_excluded) return compute_error("Excluded weights not available in results");
    }
    const std::optional<MatView> cov_inv_opt = cov_inv;

    // The steps after the weights read what the weights step stored and write
    // nothing shared, in two rounds of independent parts. First: one pass
    // over the included weights for their column sums, the predictions and
    // (stored here) their spread, or the streamed predictions; the solo
    // distribution; and the excluded side's fit statistics, or the streamed
    // asymmetry. Then: the predictions on their scale with the solo
    // statistics and histogram, and the included side's fit statistics from
    // the column sums. With many rows the parts run side by side; their
    // errors are reported in the order of the steps.
    const bool side_by_side = n_obs >= parallel::kParallelRowsFrom;
    const bool logistic = options.prediction_scale == enums::PredictionScale::Logistic;
    std::optional<Result<solo_dist::SoloDistributionParts>> solo_parts;
    Result<PredictionsAndSolo> predicted = compute_error("");
    insights::asymmetry::AsymmetryResult am;
    if (!summary && side_by_side) {
        AfterWeights after = after_materialised_weights(results, y, x, *ri, cov_inv_opt, parts, logistic);
        if (after.solo_parts && !*after.solo_parts) return std::unexpected(std::move(after.solo_parts->error()));
        if (!after.predicted) return std::unexpected(std::move(after.predicted.error()));
        if (!*after.fit_in) return std::unexpected(std::move(after.fit_in->error()));
        if (!*after.fit_ex) return std::unexpected(std::move(after.fit_ex->error()));
        am = insights::asymmetry::asymmetry_of_fits(n_retained.view(), std::move(**after.fit_in),
                                                    std::move(**after.fit_ex), y.size());
        results.insights->weights_concentration = std::move(after.concentration);
        predicted = std::move(after.predicted);
    } else {
        // The spread of y that both sides' fit statistics take: worked out
        // once when the parts run one after the other, by each for itself
        // side by side (so that chain of sums stays off the path both wait on).
        std::optional<insights::fit::OutcomeSpread> spread;
        if (!parts.outcome_spread && !summary && !side_by_side) spread = insights::fit::outcome_spread(y);
        const insights::fit::OutcomeSpread* shared_spread = parts.outcome_spread ? parts.outcome_spread
                                                            : spread                 ? &*spread
                                                                                     : nullptr;
        std::optional<insights::fit::WeightColumnPasses> included;
        Vector yhat_streamed;
        std::optional<Result<insights::fit::FitResult>> fit_ex, fit_in;
        // One after the other, the streamed predictions and both sides' fit
        // statistics share their passes over the cells.
        const bool streamed_together = summary && !side_by_side;
        if (streamed_together) {
            const psr::OutcomeSpread own = shared_spread ? *shared_spread : psr::outcome_spread(y);
            psr::StreamedStatistics st = psr::psr_stream_statistics(y, own, ri->relevance, ri->include,
                                                                   summary->exclude.view(), summary->eval);
            yhat_streamed = std::move(st.yhat);
            am = asymmetry_of_streamed_fits(n_retained.view(), std::move(st.include), std::move(st.exclude),
                                            y.size());
        }
        parallel::join_if(
            side_by_side,
            [&] {
                if (streamed_together) return;
                if (summary) {
                    yhat_streamed = psr::psr_stream_yhat(y, ri->relevance, ri->include,
                                                         summary->eval.include_side, summary->eval.n_total);
                } else {
                    included = insights::fit::weight_column_passes(results.weights->view(), y);
                }
            },
            [&] {
                parallel::join_if(
                    side_by_side,
                    [&] {
                        if (parts.solo) {
                            solo_parts.emplace(solo_distribution_of(results, y, ri->relevance, ri->include));
                        }
                    },
                    [&] {
                        // Asymmetry and fit of the weights against y (never against yhat).
                        if (streamed_together) return;
                        if (summary) {
                            am = asymmetry_from_psr_stream(n_retained.view(), y, ri->relevance, ri->include,
                                                           summary->exclude.view(), summary->eval, shared_spread);
                        } else {
                            fit_ex.emplace(insights::fit::fit_auto_vectorized(results.weights_excluded->view(), y,
                                                                              nullptr, shared_spread));
                        }
                    });
            });
        if (solo_parts && !*solo_parts) return std::unexpected(std::move(solo_parts->error()));

        parallel::join_if(
            side_by_side,
            [&] {
                Vector yhat = summary ? std::move(yhat_streamed) : std::move(included->weighted_outcomes);
                std::optional<solo_dist::SoloDistributionParts> solo;
                if (solo_parts) solo = std::move(**solo_parts);
                predicted = predictions_and_solo(y, x, std::move(yhat), std::move(solo), cov_inv_opt, logistic,
                                                 parts.ysolo_histogram);
            },
            [&] {
                if (!summary) {
                    fit_in.emplace(insights::fit::fit_auto_vectorized(results.weights->view(), y,
                                                                      included->column_sums.data(), shared_spread));
                }
            });
        if (!predicted) return std::unexpected(std::move(predicted.error()));
        if (!summary) {
            if (!*fit_in) return std::unexpected(std::move(fit_in->error()));
            if (!*fit_ex) return std::unexpected(std::move(fit_ex->error()));
            am = insights::asymmetry::asymmetry_of_fits(n_retained.view(), std::move(**fit_in), std::move(**fit_ex),
                                                        y.size());
            results.insights->weights_concentration = std::move(included->concentration);
        }
    }
    Vector yhat = std::move(predicted->yhat);
    if (predicted->solo) {
        results::SoloDistributionStatistics& s = results::get_or_alloc_solo_statistics(results);
        s = std::move(predicted->solo->statistics);
        results.solo_distribution->y_solo = std::move(predicted->solo->y_solo);
        results.solo_distribution->xi_solo = std::move(predicted->solo->xi_solo);
        results.solo_distribution->ysolo_distribution = std::move(predicted->solo->histogram);
    }

    const double kf = static_cast<double>(k_vars);
    const double m = adj_fit_factor(options.adj_fit_multiplier, kf);
    const Vector& fit = am.stats.fit;
    Vector adjusted = Vector::uninit(t);
    Vector k_fit = Vector::uninit(t);
    for (std::size_t k = 0; k < t; ++k) {
        const double sum = fit[k] + am.asymmetry[k];
        adjusted[k] = options.adj_fit_multiplier == enums::AdjFitMultiplier::Identity ? sum : sum * m;
        k_fit[k] = fit[k] * kf;
    }

    results.core.yhat = std::move(yhat);
    results.core.fit = std::move(am.stats.fit);
    results.core.asymmetry = std::move(am.asymmetry);
    results.core.adjusted_fit = adjusted;
    results.core.k_fit = std::move(k_fit);
    results.core.agreement = std::move(am.stats.agreement);
    results.core.outlier_influence = std::move(am.stats.outlier_influence);

    results::PredictionAuxiliaryInfo& aux = results::get_or_alloc_auxiliary(results);
    aux.n = results::to_counts(am.stats.n);
    aux.k = results::CountVector(t, k_vars);

    std::optional<CellAdjFitWeights> cell_weights;
    if (summary) {
        Vector a = Vector::uninit(t);
        for (std::size_t k = 0; k < t; ++k) a[k] = adjusted[k] * (aux.k[k] < aux.n[k] ? 1.0 : 0.0);
        cell_weights = psr::psr_stream_mix(ri->relevance, ri->include, summary->exclude.view(), summary->eval,
                                           a.view(), adjusted.view());
        summary.reset();
    }

    if (options.include_linear_regression) {
        if (auto r = store_linear_regression(results, y, x, theta); !r) return std::unexpected(std::move(r.error()));
    }
    return PredictInnerResult{std::move(results), std::move(cell_weights)};
}

}  // namespace

Result<PredictInnerResult> predict_inner_with_insights(VecView y, MatView x, VecView theta,
                                                       const config::PredictOptions& options, InsightSource source,
                                                       PipelineParts parts) {
    auto censor = censor_of(options);
    if (!censor) return std::unexpected(std::move(censor.error()));
    return run_pipeline(y, x, theta, options, *censor, std::move(source), parts);
}

Result<void> store_linear_regression(PredictionResults& results, VecView y, MatView x, VecView theta) {
    auto v = stats::linear_regression::direct_linear_regression(y, x, theta);
    if (!v) return std::unexpected(std::move(v.error()));
    results.core.yhat_linear = Vector{*v};
    return {};
}

Result<PredictionResults> predict(VecView y, MatView x, VecView theta, const config::PredictOptions& options) {
    // An option the run cannot honour is named before anything in the data.
    auto censor = censor_of(options);
    if (!censor) return std::unexpected(std::move(censor.error()));
    if (auto usable = inputs::check_model_inputs(y, theta, options.prediction_scale,
                                                 inputs::TargetRule::EveryAttribute);
        !usable) {
        return std::unexpected(std::move(usable.error()));
    }
    if (!options.cov_inv) {
        if (auto spread = inputs::check_constant_columns(x, options.inv_method); !spread)
            return std::unexpected(std::move(spread.error()));
    }
    auto r = run_pipeline(y, x, theta, options, *censor, InsightSource::compute(),
                          PipelineParts{.finite_scores_required = true});
    if (!r) return std::unexpected(std::move(r.error()));
    return std::move(r->results);
}

}  // namespace toolbox::qel::models::predict

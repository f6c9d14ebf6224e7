#include "toolbox/qel/models/predict/predict.hpp"

#include <cmath>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "toolbox/format.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/inversion.hpp"
#include "toolbox/qel/models/inputs/inputs.hpp"
#include "toolbox/qel/models/predict/pipeline.hpp"
#include "toolbox/stats/linear_regression.hpp"

namespace toolbox::qel::models::predict {

using matrix::BoolMatView;
using matrix::MatView;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;
using results::PredictionResults;
namespace pw = insights::weights::prediction_weights;

namespace {

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

// The pipeline of a run whose censor is settled: the inverse covariance and
// the weights, then the driver of the caller's weights mode, then the
// linear-regression value when asked for.
Result<PredictInnerResult> run_pipeline(VecView y, MatView x, VecView theta, const config::PredictOptions& options,
                                        const pw::CensorSettings& censor, InsightSource source,
                                        const PipelineParts& parts) {
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

    const std::size_t t = censor.thresholds.size();
    PredictionResults results = PredictionResults::create(x.rows(), x.cols(), t, Vector::from(censor.thresholds));
    auto weighed = pw::prediction_weights_with_insights(results, x, theta, censor, cov_inv, std::move(source),
                                                        parts.weights, options.missing_moments);
    if (!weighed) return std::unexpected(std::move(weighed.error()));
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

    pipeline::WeighedRun run{y, x, options, parts, cov_inv, results, ri->relevance, ri->include, weighed->n.view()};
    // The weights step hands over the streamed path's side data exactly when
    // the caller asked for no weight matrices: that choice picks the driver.
    std::optional<CellAdjFitWeights> cell_weights;
    if (weighed->summary) {
        auto streamed = pipeline::run_streamed(run, *weighed->summary);
        if (!streamed) return std::unexpected(std::move(streamed.error()));
        cell_weights = std::move(*streamed);
    } else if (auto done = pipeline::run_materialised(run); !done) {
        return std::unexpected(std::move(done.error()));
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

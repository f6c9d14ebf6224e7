#include "toolbox/qel/insights/weights/prediction_weights.hpp"

#include <cmath>
#include <utility>

#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/inversion.hpp"
#include "toolbox/matrix/mask.hpp"
#include "toolbox/qel/insights/relevance.hpp"
#include "toolbox/qel/results/mutators.hpp"
#include "toolbox/stats/percentile.hpp"

namespace toolbox::qel::insights::weights::prediction_weights {

using enums::CensorType;
using enums::CensorUnit;
using enums::MissingMoments;
using matrix::Matrix;
using matrix::MatView;
using matrix::Vector;
using matrix::VecView;

namespace {

// Without a given inverse the run inverts the covariance itself (the
// pipeline always hands one over): a failure there, and a relevance that
// fails on inputs the caller has shaped, are internal faults of the run.
Result<PrecomputedInsights> compute_insights(MatView x, VecView theta, std::optional<MatView> cov_inv, bool listwise,
                                             const matrix::covariance::MeanAndN* known_means) {
    matrix::covariance::MeanAndN computed_means;
    if (known_means == nullptr) computed_means = matrix::covariance::average_with_n(x, listwise);
    const matrix::covariance::MeanAndN& means = known_means ? *known_means : computed_means;
    const Vector& mean = means.mean;
    Matrix computed;
    MatView inverse;
    if (cov_inv) {
        inverse = *cov_inv;
    } else {
        const auto cov = matrix::covariance::nancov_with_means(x, listwise);
        if (cov.pairwise) {
            if (auto definite = matrix::covariance::check_pairwise_definite(cov.cov.view()); !definite)
                return internal_fault("Failed to invert covariance matrix: " + definite.error().message);
        }
        auto inv = matrix::inversion::inv_with_method(cov.cov.view(), enums::InversionMethod::Gaussian);
        if (!inv) return internal_fault("Failed to invert covariance matrix");
        computed = std::move(*inv);
        inverse = computed.view();
    }
    auto rel = relevance(x, theta, mean.view(), inverse);
    if (!rel) return internal_fault(std::move(rel.error()));
    PrecomputedInsights out;
    out.relevance = std::move(rel->relevance);
    out.similarity = std::move(rel->similarity);
    out.info_x = std::move(rel->info_x);
    out.info_theta = std::move(rel->info_theta);
    return out;
}

// The cut-off of each threshold on the censor scores, with its percentile:
// a threshold in percent stands for that percentile of the scores, a raw
// score is its own cut-off and its percentile rank is looked up.
struct CutOffs {
    Vector r_star;
    Vector r_star_percent;
};

CutOffs cut_offs(VecView scores, const CensorSettings& censor) {
    const VecView thr = censor.thresholds;
    CutOffs out;
    if (censor.unit == CensorUnit::Percent) {
        out.r_star_percent = Vector::uninit(thr.size());
        for (std::size_t k = 0; k < thr.size(); ++k) out.r_star_percent[k] = 100.0 * thr[k];
        out.r_star = stats::percentile::percentile_value(scores, out.r_star_percent.view());
    } else {
        out.r_star = Vector::from(thr);
        out.r_star_percent = stats::percentile::percentile_rank(scores, thr);
    }
    return out;
}

// The observations that have a relevance (not NaN).
std::size_t with_relevance(const Vector& relevance) {
    std::size_t n = 0;
    for (double r : relevance) n += std::isnan(r) ? 0 : 1;
    return n;
}

}  // namespace

Result<PrecomputedInsights> insights_from_data(MatView x, VecView theta, MatView cov_inv,
                                               MissingMoments missing_moments,
                                               const matrix::covariance::MeanAndN* means) {
    return compute_insights(x, theta, cov_inv, missing_moments == MissingMoments::Complete, means);
}

Result<PredictionWeightsResult> prediction_weights_with_insights(results::PredictionResults& results, MatView x,
                                                                 VecView theta, const CensorSettings& censor,
                                                                 std::optional<MatView> cov_inv, InsightSource source,
                                                                 bool weights, MissingMoments missing_moments) {
    require(censor.type != CensorType::Both, "a prediction run censors on one score at a time");
    const bool listwise = missing_moments == MissingMoments::Complete;

    // The run's own insights (computed or taken over), or the caller's.
    PrecomputedInsights local;
    const PrecomputedInsights* insights = &local;
    bool borrowed = false;
    if (auto* owned = std::get_if<InsightSource::Owned>(&source.kind)) {
        local = std::move(owned->insights);
    } else if (auto* lent = std::get_if<InsightSource::Borrowed>(&source.kind)) {
        require(lent->insights != nullptr, "borrowed insights are missing");
        insights = lent->insights;
        borrowed = true;
    } else {
        auto computed =
            compute_insights(x, theta, cov_inv, listwise, std::get<InsightSource::Compute>(source.kind).means);
        if (!computed) return std::unexpected(std::move(computed.error()));
        local = std::move(*computed);
    }

    const Vector& scores = censor.type == CensorType::Relevance ? insights->relevance : insights->similarity;
    const Vector& rel = insights->relevance;
    require(scores.size() == x.rows() && rel.size() == x.rows(), "relevance measures do not match the rows of x");
    // A row without a relevance (a missing attribute, of its own or of the
    // target) takes no part in the weights, whichever rule made the
    // covariance: N counts the others, so that their weights sum to 1 and
    // the predictions move with the outcomes. Under the complete-rows rule
    // they are the complete rows.
    const double n_w = static_cast<double>(with_relevance(rel));

    CutOffs cut = cut_offs(scores.view(), censor);
    auto [include, exclude] =
        matrix::mask::apply_mask::generate_include_masks(scores.view(), cut.r_star.view(), censor.op);

    PredictionWeightsResult out;
    psr_weights::PsrDetails details;
    if (weights) {
        auto w = psr_weights::psr_weights_include_exclude(include.view(), exclude.view(), rel.view(), n_w);
        if (!w) return internal_fault(std::move(w.error()));
        details = std::move(w->details);
        results.include = std::move(include);
        results.weights = std::move(w->weights);
        results.weights_excluded = std::move(w->weights_excluded);
    } else {
        auto ev = psr_weights::psr_eval_include_exclude(include.view(), exclude.view(), rel.view(), n_w);
        if (!ev) return internal_fault(std::move(ev.error()));
        details = ev->include_side.details(ev->full_var.view());
        results.include = std::move(include);
        out.summary = psr_weights::GridPsrSummary{std::move(exclude), std::move(*ev)};
    }

    results::PredictionAuxiliaryInfo& aux = results::get_or_alloc_auxiliary(results);
    aux.phi = details.phi;
    aux.lambda_sq = details.lambda_sq;
    aux.full_var = details.full_var;
    aux.part_var = details.part_var;
    aux.r_star = std::move(cut.r_star);
    aux.r_star_percent = std::move(cut.r_star_percent);
    aux.n = results::to_counts(details.n);

    if (!results.insights) results.insights.emplace();
    results::PredictionInsights& part = *results.insights;
    if (borrowed) {
        part.relevance = insights->relevance;
        part.similarity = insights->similarity;
        part.info_x = insights->info_x;
        part.info_theta = insights->info_theta;
    } else {
        part.relevance = std::move(local.relevance);
        part.similarity = std::move(local.similarity);
        part.info_x = std::move(local.info_x);
        part.info_theta = std::move(local.info_theta);
    }

    out.n = std::move(details.n);
    return out;
}

}  // namespace toolbox::qel::insights::weights::prediction_weights

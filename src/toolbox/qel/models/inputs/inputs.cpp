#include "toolbox/qel/models/inputs/inputs.hpp"

#include <cmath>
#include <vector>

#include "toolbox/format.hpp"

namespace toolbox::qel::models::inputs {

using matrix::MatView;
using matrix::Vector;
using matrix::VecView;

Result<void> check_model_inputs(VecView y, VecView theta, enums::PredictionScale scale, TargetRule rule) {
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (!std::isfinite(y[i])) {
            return compute_error(
                format("y[{}] is {}: every outcome must be a finite number (drop row {} from y and X)", i, y[i], i));
        }
    }
    if (scale == enums::PredictionScale::Logistic) {
        for (std::size_t i = 0; i < y.size(); ++i) {
            if (!(y[i] >= 0.0 && y[i] <= 1.0)) {
                return compute_error(format(
                    "y[{}] is {}: the logistic scale needs outcomes between 0 and 1 (give 0/1 outcomes, or use the "
                    "response scale)",
                    i, y[i]));
            }
        }
    }
    if (rule == TargetRule::EveryAttribute) {
        for (std::size_t j = 0; j < theta.size(); ++j) {
            if (!std::isfinite(theta[j])) {
                return compute_error(
                    format("theta[{}] is {}: a prediction needs a value for every target attribute (drop attribute {} "
                           "from X and theta, or use a grid run, whose cells without it still predict)",
                           j, theta[j], j));
            }
        }
        return {};
    }
    for (std::size_t j = 0; j < theta.size(); ++j) {
        if (std::isfinite(theta[j])) return {};
    }
    return compute_error(
        "theta has no finite value: every cell of a grid run would use a missing target attribute (give the target "
        "a value for at least one attribute)");
}

Result<void> check_constant_columns(MatView x, enums::InversionMethod method, std::span<const std::uint8_t> used) {
    if (method != enums::InversionMethod::Gaussian && method != enums::InversionMethod::Cholesky) return {};
    const std::size_t k = x.cols();
    // Per column: its first observed value, how many it has (up to 2), and
    // whether it varies (or holds an infinity, which the covariance check
    // reports). Real data shows its spread within a few rows.
    Vector first(k);
    std::vector<std::uint8_t> observed(k, 0), varies(k, 0);
    std::size_t open = 0;
    for (std::size_t j = 0; j < k; ++j) {
        if (!used.empty() && used[j] == 0) varies[j] = 1;
        if (varies[j] == 0) ++open;
    }
    for (std::size_t i = 0; i < x.rows() && open > 0; ++i) {
        const double* row = x.row(i).data();
        for (std::size_t j = 0; j < k; ++j) {
            const double v = row[j];
            if (varies[j] != 0 || std::isnan(v)) continue;
            if (observed[j] == 0) {
                first[j] = v;
                observed[j] = 1;
            } else {
                observed[j] = 2;
            }
            if (v != first[j] || std::isinf(v)) {
                varies[j] = 1;
                --open;
            }
        }
    }
    for (std::size_t j = 0; j < k; ++j) {
        if (varies[j] == 0 && observed[j] == 2) {
            return compute_error(format(
                "column {} of X has no spread (every observed value is {}): drop it, or use the pseudoinverse", j,
                first[j]));
        }
    }
    return {};
}

Result<void> check_censor_scores(VecView scores, enums::CensorType censor) {
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (std::isfinite(scores[i])) return {};
    }
    return compute_error(format(
        "no observation has a finite {} score: every distance to the target overflows or meets a missing value "
        "(check the scale of theta and X, or drop the attributes with missing values)",
        censor == enums::CensorType::Similarity ? "similarity" : "relevance"));
}

Result<void> check_rows_with_relevance(VecView relevance) {
    std::size_t with = 0;
    for (std::size_t i = 0; i < relevance.size() && with < 2; ++i) with += std::isnan(relevance[i]) ? 0 : 1;
    if (with != 1) return {};
    return compute_error(
        "only one observation has a relevance: every other row misses a value, and the weights need at least two "
        "(drop the attributes with missing values)");
}

}  // namespace toolbox::qel::models::inputs

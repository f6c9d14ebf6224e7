// The insight calls: the per-observation measures of the method written
// straight into caller buffers.
#include "ffi/insights.hpp"

#include <algorithm>
#include <utility>

#include "ffi/error.hpp"
#include "qelcore.h"
#include "toolbox/enums/enums.hpp"
#include "toolbox/format.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/qel/insights/informativeness.hpp"
#include "toolbox/qel/insights/relevance.hpp"
#include "toolbox/qel/insights/similarity.hpp"

namespace ffi::insights {

using error::FaultMessage;
using layout::Loaded;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

namespace {

constexpr std::string_view kInversionFailed = "failed to invert covariance (singular / ill-conditioned X)";

// `theta` is NULL only for the loader without a target.
Loaded<InsightInputs> load(const double* X, std::size_t rows, std::size_t cols, std::int32_t layout_code,
                           const double* theta, std::size_t theta_len, bool has_target, const double* cov_inv,
                           std::int32_t cov_inv_layout) {
    // Unlike the model loader, the length test comes before the layout test.
    if (theta_len != cols) {
        error::set_last_error(toolbox::format("theta length ({}) must equal X cols ({})", theta_len, cols));
        return std::unexpected(QEL_STATUS_SIZE_MISMATCH);
    }
    const auto layout = layout::check_layout(layout_code);
    if (!layout) return std::unexpected(layout.error());
    auto x = layout::copy_matrix(X, rows, cols, *layout);
    if (!x) return std::unexpected(x.error());
    Vector target;
    if (has_target) {
        auto t = layout::copy_vector(theta, theta_len, "theta");
        if (!t) return std::unexpected(t.error());
        target = std::move(*t);
    } else {
        target = Vector(cols);
    }

    // Plain column sums in row order: a NaN makes its column's mean NaN.
    Vector mean(cols);
    for (std::size_t i = 0; i < rows; ++i) {
        const auto row = x->row(i);
        for (std::size_t j = 0; j < cols; ++j) mean[j] += row[j];
    }
    const double n = static_cast<double>(rows);
    for (double& m : mean) m /= n;

    Matrix inverse;
    if (cov_inv != nullptr) {
        const auto inv_layout = layout::check_layout(cov_inv_layout);
        if (!inv_layout) return std::unexpected(inv_layout.error());
        auto c = layout::copy_matrix(cov_inv, cols, cols, *inv_layout);
        if (!c) return std::unexpected(c.error());
        inverse = std::move(*c);
    } else {
        auto computed =
            toolbox::matrix::covariance::cov_inv_with_method(x->view(), toolbox::enums::InversionMethod::Gaussian);
        if (!computed) {
            // Exactly singular: an internal fault of the loader, in its fixed
            // words. Too close to singular: the same words, and why.
            if (computed.error().internal_fault)
                return std::unexpected(error::map_compute_err(computed.error(), kInversionFailed, FaultMessage::Fixed));
            error::set_last_error(toolbox::format("{}: {}", kInversionFailed, computed.error().message));
            return std::unexpected(QEL_STATUS_COMPUTE_FAILED);
        }
        inverse = std::move(*computed);
    }
    return InsightInputs{std::move(*x), std::move(target), std::move(mean), std::move(inverse)};
}

}  // namespace

Loaded<InsightInputs> load_insight_inputs(const double* X, std::size_t rows, std::size_t cols, std::int32_t layout,
                                          const double* theta, std::size_t theta_len, const double* cov_inv,
                                          std::int32_t cov_inv_layout) {
    return load(X, rows, cols, layout, theta, theta_len, true, cov_inv, cov_inv_layout);
}

Loaded<InsightInputs> load_insight_inputs_without_target(const double* X, std::size_t rows, std::size_t cols,
                                                         std::int32_t layout, const double* cov_inv,
                                                         std::int32_t cov_inv_layout) {
    return load(X, rows, cols, layout, nullptr, cols, false, cov_inv, cov_inv_layout);
}

std::int32_t copy_array1_to_out(std::span<const double> values, double* out, std::size_t out_len,
                                std::string_view name) {
    if (out == nullptr) {
        error::set_last_error(toolbox::format("{} out buffer is null", name));
        return QEL_STATUS_NULL_POINTER;
    }
    if (out_len < values.size()) {
        error::set_last_error(
            toolbox::format("{}: out buffer too small: need {}, got {}", name, values.size(), out_len));
        return QEL_STATUS_SIZE_MISMATCH;
    }
    std::copy(values.begin(), values.end(), out);
    return QEL_STATUS_OK;
}

namespace {

// The shape shared by the four single-output calls: load, compute, copy out,
// under one guard whose fault text is fixed. `compute` returns the result or
// the engine's error.
template <class Load, class Compute>
std::int32_t single_output(std::string_view export_name, std::string_view panic_text, std::string_view out_name,
                           Load load, double* out, std::size_t out_len, Compute compute) {
    error::clear_last_error();
    return error::guard(export_name, panic_text, FaultMessage::Fixed, [&]() -> std::int32_t {
        auto inputs = load();
        if (!inputs) return inputs.error();
        const toolbox::Result<Vector> result = compute(*inputs);
        if (!result) return error::map_compute_err(result.error(), panic_text, FaultMessage::Fixed);
        return copy_array1_to_out(result->span(), out, out_len, out_name);
    });
}

}  // namespace

}  // namespace ffi::insights

using ffi::insights::InsightInputs;
using toolbox::matrix::Vector;

extern "C" QEL_API int32_t qel_info_x(const double* X, size_t rows, size_t cols, int32_t layout,
                                      const double* cov_inv, int32_t cov_inv_layout, double* out, size_t out_len) {
    return ffi::insights::single_output(
        "qel_info_x", "internal panic in qel_info_x", "info_x",
        [&] {
            return ffi::insights::load_insight_inputs_without_target(X, rows, cols, layout, cov_inv, cov_inv_layout);
        },
        out, out_len, [](const InsightInputs& in) {
            return toolbox::qel::insights::informativeness::info_x(in.X.view(), in.mean.view(), in.cov_inv.view());
        });
}

extern "C" QEL_API int32_t qel_info_theta(const double* X, size_t rows, size_t cols, int32_t layout,
                                          const double* theta, size_t theta_len, const double* cov_inv,
                                          int32_t cov_inv_layout, double* out, size_t out_len) {
    return ffi::insights::single_output(
        "qel_info_theta", "internal panic in qel_info_theta", "info_theta",
        [&] {
            return ffi::insights::load_insight_inputs(X, rows, cols, layout, theta, theta_len, cov_inv,
                                                      cov_inv_layout);
        },
        out, out_len, [](const InsightInputs& in) {
            return toolbox::qel::insights::informativeness::info_theta(in.theta.view(), in.mean.view(),
                                                                       in.cov_inv.view());
        });
}

extern "C" QEL_API int32_t qel_similarity(const double* X, size_t rows, size_t cols, int32_t layout,
                                          const double* theta, size_t theta_len, const double* cov_inv,
                                          int32_t cov_inv_layout, double* out, size_t out_len) {
    return ffi::insights::single_output(
        "qel_similarity", "internal panic in qel_similarity", "similarity",
        [&] {
            return ffi::insights::load_insight_inputs(X, rows, cols, layout, theta, theta_len, cov_inv,
                                                      cov_inv_layout);
        },
        out, out_len, [](const InsightInputs& in) {
            return toolbox::qel::insights::similarity(in.X.view(), in.theta.view(), in.cov_inv.view());
        });
}

extern "C" QEL_API int32_t qel_relevance(const double* X, size_t rows, size_t cols, int32_t layout,
                                         const double* theta, size_t theta_len, const double* cov_inv,
                                         int32_t cov_inv_layout, double* out, size_t out_len) {
    return ffi::insights::single_output(
        "qel_relevance", "internal panic in qel_relevance", "relevance",
        [&] {
            return ffi::insights::load_insight_inputs(X, rows, cols, layout, theta, theta_len, cov_inv,
                                                      cov_inv_layout);
        },
        out, out_len, [](const InsightInputs& in) -> toolbox::Result<Vector> {
            auto r = toolbox::qel::insights::relevance(in.X.view(), in.theta.view(), in.mean.view(),
                                                       in.cov_inv.view());
            if (!r) return std::unexpected(std::move(r.error()));
            return std::move(r->relevance);
        });
}

extern "C" QEL_API int32_t qel_relevance_metrics(const double* X, size_t rows, size_t cols, int32_t layout,
                                                 const double* theta, size_t theta_len, const double* cov_inv,
                                                 int32_t cov_inv_layout, double* relevance_out, size_t relevance_len,
                                                 double* similarity_out, size_t similarity_len, double* info_x_out,
                                                 size_t info_x_len, double* info_theta_out, size_t info_theta_len) {
    constexpr std::string_view panic_text = "internal panic in qel_relevance_metrics";
    ffi::error::clear_last_error();
    return ffi::error::guard("qel_relevance_metrics", panic_text, ffi::error::FaultMessage::Fixed, [&]() -> int32_t {
        auto inputs = ffi::insights::load_insight_inputs(X, rows, cols, layout, theta, theta_len, cov_inv,
                                                         cov_inv_layout);
        if (!inputs) return inputs.error();
        const auto result = toolbox::qel::insights::relevance(inputs->X.view(), inputs->theta.view(),
                                                              inputs->mean.view(), inputs->cov_inv.view());
        if (!result) return ffi::error::map_compute_err(result.error(), panic_text, ffi::error::FaultMessage::Fixed);

        // A NULL buffer is an output the caller does not want; the first short
        // buffer stops the copies, leaving the earlier outputs written.
        const struct {
            const Vector& values;
            double* out;
            size_t len;
            std::string_view name;
        } outputs[] = {
            {result->relevance, relevance_out, relevance_len, "relevance"},
            {result->similarity, similarity_out, similarity_len, "similarity"},
            {result->info_x, info_x_out, info_x_len, "info_x"},
            {result->info_theta, info_theta_out, info_theta_len, "info_theta"},
        };
        for (const auto& o : outputs) {
            if (o.out == nullptr) continue;
            const int32_t copied = ffi::insights::copy_array1_to_out(o.values.span(), o.out, o.len, o.name);
            if (copied != QEL_STATUS_OK) return copied;
        }
        return QEL_STATUS_OK;
    });
}

// The record variants call the exports by their exported names, so a host
// that interposes an export sees the record variant go through it too.
extern "C" QEL_API int32_t qel_info_x_call(const QelInsightCallArgs* args) {
    ffi::error::clear_last_error();
    if (args == nullptr) {
        ffi::error::set_last_error("args is null");
        return QEL_STATUS_NULL_POINTER;
    }
    return qel_info_x(args->X, args->rows, args->cols, args->layout, nullptr, 0, args->out, args->out_len);
}

#define QEL_TARGET_CALL(name)                                                                                    \
    extern "C" QEL_API int32_t name##_call(const QelInsightCallArgs* args) {                                     \
        ffi::error::clear_last_error();                                                                         \
        if (args == nullptr) {                                                                                  \
            ffi::error::set_last_error("args is null");                                                         \
            return QEL_STATUS_NULL_POINTER;                                                                     \
        }                                                                                                       \
        return name(args->X, args->rows, args->cols, args->layout, args->theta, args->theta_len, nullptr, 0,    \
                    args->out, args->out_len);                                                                  \
    }
QEL_TARGET_CALL(qel_info_theta)
QEL_TARGET_CALL(qel_similarity)
QEL_TARGET_CALL(qel_relevance)
#undef QEL_TARGET_CALL

extern "C" QEL_API int32_t qel_relevance_metrics_call(const QelRelevanceMetricsCallArgs* args) {
    ffi::error::clear_last_error();
    if (args == nullptr) {
        ffi::error::set_last_error("args is null");
        return QEL_STATUS_NULL_POINTER;
    }
    return qel_relevance_metrics(args->X, args->rows, args->cols, args->layout, args->theta, args->theta_len,
                                 nullptr, 0, args->relevance_out, args->relevance_len, args->similarity_out,
                                 args->similarity_len, args->info_x_out, args->info_x_len, args->info_theta_out,
                                 args->info_theta_len);
}

#include "ffi/inputs.hpp"

#include "ffi/error.hpp"
#include "toolbox/format.hpp"

namespace ffi::inputs {

layout::Loaded<ModelInputs> load_model_inputs(const double* y, std::size_t y_len, const double* X, std::size_t rows,
                                              std::size_t cols, std::int32_t layout_code, const double* theta,
                                              std::size_t theta_len) {
    const auto layout = layout::check_layout(layout_code);
    if (!layout) return std::unexpected(layout.error());
    if (y_len != rows) {
        error::set_last_error(toolbox::format("y length ({}) must equal X rows ({})", y_len, rows));
        return std::unexpected(QEL_STATUS_SIZE_MISMATCH);
    }
    if (theta_len != cols) {
        error::set_last_error(toolbox::format("theta length ({}) must equal X cols ({})", theta_len, cols));
        return std::unexpected(QEL_STATUS_SIZE_MISMATCH);
    }
    auto y_copy = layout::copy_vector(y, y_len, "y");
    if (!y_copy) return std::unexpected(y_copy.error());
    auto x_copy = layout::copy_matrix(X, rows, cols, *layout);
    if (!x_copy) return std::unexpected(x_copy.error());
    auto theta_copy = layout::copy_vector(theta, theta_len, "theta");
    if (!theta_copy) return std::unexpected(theta_copy.error());
    return ModelInputs{std::move(*y_copy), std::move(*x_copy), std::move(*theta_copy)};
}

}  // namespace ffi::inputs

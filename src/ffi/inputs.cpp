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
    const auto y_view = layout::borrow_vector(y, y_len, "y");
    if (!y_view) return std::unexpected(y_view.error());
    ModelInputs in;
    in.y = *y_view;
    if (*layout == layout::QelLayout::RowMajor) {
        auto x_view = layout::borrow_matrix(X, rows, cols);
        if (!x_view) return std::unexpected(x_view.error());
        in.X = *x_view;
    } else {
        auto x_copy = layout::copy_matrix(X, rows, cols, *layout);
        if (!x_copy) return std::unexpected(x_copy.error());
        in.x_rows = std::move(*x_copy);
        in.X = in.x_rows.view();
    }
    const auto theta_view = layout::borrow_vector(theta, theta_len, "theta");
    if (!theta_view) return std::unexpected(theta_view.error());
    in.theta = *theta_view;
    return in;
}

}  // namespace ffi::inputs

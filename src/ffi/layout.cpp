#include "ffi/layout.hpp"

#include <algorithm>

#include "ffi/error.hpp"
#include "toolbox/format.hpp"

namespace ffi::layout {

using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

Loaded<QelLayout> check_layout(std::int32_t code) {
    // Taken as unsigned, so negative codes fall out with the large ones.
    if (static_cast<std::uint32_t>(code) >= 2u) {
        error::set_last_error(toolbox::format("invalid QelLayout value: {} (use 0=row-major, 1=col-major)", code));
        return std::unexpected(QEL_STATUS_INVALID_VALUE);
    }
    return static_cast<QelLayout>(code);
}

Loaded<toolbox::matrix::VecView> borrow_vector(const double* ptr, std::size_t len, std::string_view name) {
    if (ptr == nullptr) {
        error::set_last_error(toolbox::format("{} pointer is null", name));
        return std::unexpected(QEL_STATUS_NULL_POINTER);
    }
    if (len == 0) {
        error::set_last_error(toolbox::format("{} length must be non-zero", name));
        return std::unexpected(QEL_STATUS_INVALID_VALUE);
    }
    return toolbox::matrix::VecView(ptr, len);
}

Loaded<Vector> copy_vector(const double* ptr, std::size_t len, std::string_view name) {
    const auto given = borrow_vector(ptr, len, name);
    if (!given) return std::unexpected(given.error());
    // A length whose byte size cannot be allocated throws std::bad_alloc here;
    // the export's guard reports it as running out of memory.
    Vector v = Vector::uninit(len);
    std::copy_n(ptr, len, v.data());
    return v;
}

Loaded<toolbox::matrix::MatView> borrow_matrix(const double* ptr, std::size_t rows, std::size_t cols) {
    if (ptr == nullptr) {
        error::set_last_error("matrix pointer is null");
        return std::unexpected(QEL_STATUS_NULL_POINTER);
    }
    if (rows == 0 || cols == 0) {
        error::set_last_error("matrix dimensions must be non-zero");
        return std::unexpected(QEL_STATUS_INVALID_VALUE);
    }
    std::uint64_t count = 0;
    // Beyond the address space in bytes no caller array can exist either.
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(cols), &count)) {
        error::set_last_error("matrix dimensions overflow");
        return std::unexpected(QEL_STATUS_INVALID_VALUE);
    }
    return toolbox::matrix::MatView(ptr, rows, cols);
}

Loaded<Matrix> copy_matrix(const double* ptr, std::size_t rows, std::size_t cols, QelLayout layout) {
    const auto given = borrow_matrix(ptr, rows, cols);
    if (!given) return std::unexpected(given.error());
    const std::uint64_t count = static_cast<std::uint64_t>(rows) * cols;
    Matrix m = Matrix::uninit(rows, cols);
    if (layout == QelLayout::RowMajor) {
        std::copy_n(ptr, count, m.data());
    } else {
        // Walk the caller's memory in its own order (column by column) and
        // scatter into the rows: the reads stay sequential.
        double* out = m.data();
        for (std::size_t j = 0; j < cols; ++j) {
            const double* column = ptr + j * rows;
            for (std::size_t i = 0; i < rows; ++i) out[i * cols + j] = column[i];
        }
    }
    return m;
}

}  // namespace ffi::layout

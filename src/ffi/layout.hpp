// Caller arrays into owned arrays: every compute call copies its inputs once,
// at entry, into contiguous row-major storage, so the engine never computes on
// (or keeps) caller memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>

#include "qelcore.h"
#include "toolbox/matrix/array.hpp"

namespace ffi::layout {

// Memory order of a caller matrix (the QEL_LAYOUT_* codes of the header).
enum class QelLayout : std::int32_t {
    RowMajor = QEL_LAYOUT_ROW_MAJOR,
    ColMajor = QEL_LAYOUT_COL_MAJOR,
};

// A loaded value, or the status of the first failed check (its message is
// already stored in the calling thread's slot).
template <class T>
using Loaded = std::expected<T, std::int32_t>;

// The layout of `code`, or status 3 with "invalid QelLayout value: ..." stored.
// Negative codes are rejected like any other code from 2 on.
Loaded<QelLayout> check_layout(std::int32_t code);

// `len` doubles from `ptr`, bit for bit. `name` names the parameter in
// messages: status 1 "<name> pointer is null", 3 "<name> length must be non-zero".
Loaded<toolbox::matrix::Vector> copy_vector(const double* ptr, std::size_t len, std::string_view name);

// The same checks as copy_vector, with the caller's array itself as the result.
Loaded<toolbox::matrix::VecView> borrow_vector(const double* ptr, std::size_t len, std::string_view name);

// The same checks as copy_matrix, with the caller's row-major array itself as
// the result.
Loaded<toolbox::matrix::MatView> borrow_matrix(const double* ptr, std::size_t rows, std::size_t cols);

// rows x cols doubles from `ptr` in `layout` order, as a row-major matrix.
// Status 1 for NULL, 3 for a zero extent or an extent product beyond 64 bits.
Loaded<toolbox::matrix::Matrix> copy_matrix(const double* ptr, std::size_t rows, std::size_t cols, QelLayout layout);

}  // namespace ffi::layout

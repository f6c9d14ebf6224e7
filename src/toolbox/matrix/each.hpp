// Which lanes of a matrix a per-lane routine reports on: each row (walked
// across its columns) or each column (walked down its rows).
#pragma once

#include <cstdint>

namespace toolbox::matrix {

enum class Each : std::uint8_t { Row, Column };

}  // namespace toolbox::matrix

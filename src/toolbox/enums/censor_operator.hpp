// The include rule of a censor: which side of the cut-off is retained.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace toolbox::enums {

// Retained: score > cut-off, < cut-off, >= cut-off, <= cut-off.
enum class CensorOperator : std::uint8_t { GreaterThan = 0, LessThan = 1, GreaterThanOrEqual = 2, LessThanOrEqual = 3 };

// The symbol, the short word or the long word of each operator (">", "gt",
// "greater_than"; "<", "lt", "less_than"; ">=", "gte",
// "greater_than_or_equal_to"; "<=", "lte", "less_than_or_equal_to") in any
// ASCII letter case, no trimming. A failure carries no text.
std::optional<CensorOperator> censor_operator_from_str(std::string_view text);

}  // namespace toolbox::enums

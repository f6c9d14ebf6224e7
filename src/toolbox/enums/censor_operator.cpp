#include "toolbox/enums/censor_operator.hpp"

#include <string>

#include "toolbox/text.hpp"

namespace toolbox::enums {

std::optional<CensorOperator> censor_operator_from_str(std::string_view text) {
    // ASCII lower-casing accepts exactly the texts that the full Unicode
    // lower-case mapping would: the only non-ASCII character it sends into
    // ASCII is U+212A KELVIN SIGN (to 'k'), and no word here contains a 'k'.
    const std::string word = text::ascii_lower(text);
    if (word == ">" || word == "gt" || word == "greater_than") return CensorOperator::GreaterThan;
    if (word == "<" || word == "lt" || word == "less_than") return CensorOperator::LessThan;
    if (word == ">=" || word == "gte" || word == "greater_than_or_equal_to") return CensorOperator::GreaterThanOrEqual;
    if (word == "<=" || word == "lte" || word == "less_than_or_equal_to") return CensorOperator::LessThanOrEqual;
    return std::nullopt;
}

}  // namespace toolbox::enums

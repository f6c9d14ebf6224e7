#include "toolbox/enums/censor_type.hpp"

#include <string>

#include "toolbox/text.hpp"

namespace toolbox::enums {

std::optional<CensorType> censor_type_from_str(std::string_view text) {
    // ASCII lower-casing accepts exactly the texts that the full Unicode
    // lower-case mapping would: the only non-ASCII character it sends into
    // ASCII is U+212A KELVIN SIGN (to 'k'), and no word here contains a 'k'.
    const std::string word = text::ascii_lower(text);
    if (word == "relevance") return CensorType::Relevance;
    if (word == "similarity") return CensorType::Similarity;
    if (word == "both") return CensorType::Both;
    return std::nullopt;
}

std::string_view censor_type_debug_name(CensorType type) noexcept {
    switch (type) {
        case CensorType::Relevance: return "Relevance";
        case CensorType::Similarity: return "Similarity";
        case CensorType::Both: return "Both";
    }
    return "Both";
}

}  // namespace toolbox::enums

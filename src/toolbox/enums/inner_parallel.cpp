#include "toolbox/enums/inner_parallel.hpp"

#include <string>

#include "toolbox/text.hpp"

namespace toolbox::enums {

std::optional<InnerParallel> inner_parallel_from_str(std::string_view text) {
    // ASCII lower-casing accepts exactly the texts that the full Unicode
    // lower-case mapping would: the only non-ASCII character it sends into
    // ASCII is U+212A KELVIN SIGN (to 'k'), and no word here contains a 'k'.
    const std::string word = text::ascii_lower(text);
    if (word == "auto") return InnerParallel::Auto;
    if (word == "0" || word == "off" || word == "seq" || word == "false" || word == "sequential") {
        return InnerParallel::Off;
    }
    return std::nullopt;
}

}  // namespace toolbox::enums

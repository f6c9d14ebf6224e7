// The score by which a max-fit run picks its threshold and censor type.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace toolbox::enums {

// Fit, adjusted fit or K-fit: the per-threshold core array of that name.
enum class MaxFitObjective : std::uint8_t { Fit = 0, AdjustedFit = 1, KFit = 2 };

// "fit", "adjusted_fit" or "kfit", matched exactly (case-sensitive, no
// trimming). A failure carries no text.
std::optional<MaxFitObjective> maxfit_objective_from_str(std::string_view text);

}  // namespace toolbox::enums

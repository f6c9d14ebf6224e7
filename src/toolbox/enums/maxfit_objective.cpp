#include "toolbox/enums/maxfit_objective.hpp"

namespace toolbox::enums {

std::optional<MaxFitObjective> maxfit_objective_from_str(std::string_view text) {
    if (text == "fit") return MaxFitObjective::Fit;
    if (text == "adjusted_fit") return MaxFitObjective::AdjustedFit;
    if (text == "kfit") return MaxFitObjective::KFit;
    return std::nullopt;
}

}  // namespace toolbox::enums

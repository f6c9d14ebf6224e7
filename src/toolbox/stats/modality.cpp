#include "toolbox/stats/modality.hpp"

#include "toolbox/error.hpp"
#include "toolbox/format.hpp"

namespace toolbox::stats::modality {

using matrix::Vector;
using matrix::VecView;

namespace {

void require_same_length(VecView s, VecView k) {
    if (s.size() != k.size())
        fault(format("skewness and kurtosis arrays must have the same length (skewness: {}, kurtosis: {})", s.size(),
                     k.size()));
}

}  // namespace

Vector bimodality_coefficient(VecView skewness, VecView kurtosis) {
    require_same_length(skewness, kurtosis);
    Vector out = Vector::uninit(skewness.size());
    for (std::size_t t = 0; t < out.size(); ++t) out[t] = (skewness[t] * skewness[t] + 1.0) / kurtosis[t];
    return out;
}

Vector pearson_modality_index(VecView skewness, VecView kurtosis) {
    require_same_length(skewness, kurtosis);
    Vector out = Vector::uninit(skewness.size());
    for (std::size_t t = 0; t < out.size(); ++t) out[t] = kurtosis[t] - skewness[t] * skewness[t];
    return out;
}

}  // namespace toolbox::stats::modality

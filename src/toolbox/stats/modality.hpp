// Modality indices of distributions from their skewness s and kurtosis k,
// elementwise (one value per threshold).
#pragma once

#include "toolbox/matrix/array.hpp"

namespace toolbox::stats::modality {

// (s * s + 1) / k. Arrays of unequal length are an internal fault.
matrix::Vector bimodality_coefficient(matrix::VecView skewness, matrix::VecView kurtosis);

// k - s * s. Arrays of unequal length are an internal fault.
matrix::Vector pearson_modality_index(matrix::VecView skewness, matrix::VecView kurtosis);

}  // namespace toolbox::stats::modality

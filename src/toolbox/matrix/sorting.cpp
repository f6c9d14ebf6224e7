#include "toolbox/matrix/sorting.hpp"

#include <algorithm>
#include <cmath>

namespace toolbox::matrix::sorting {

Vector sort_array(VecView data) {
    // NaN is dropped before sorting: with it gone, `<` is a strict weak order
    // and the stable sort is well defined.
    std::size_t n = 0;
    for (std::size_t i = 0; i < data.size(); ++i) n += !std::isnan(data[i]);
    Vector out = Vector::uninit(n);
    std::size_t w = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        if (!std::isnan(data[i])) out[w++] = data[i];
    std::stable_sort(out.begin(), out.end(), [](double a, double b) { return a < b; });
    return out;
}

}  // namespace toolbox::matrix::sorting

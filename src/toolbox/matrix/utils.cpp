#include "toolbox/matrix/utils.hpp"

#include <algorithm>

namespace toolbox::matrix::utils {

Matrix repeat_as_columns(VecView v, std::size_t k) {
    Matrix out = Matrix::uninit(v.size(), k);
    for (std::size_t i = 0; i < v.size(); ++i) std::fill_n(out.row(i).data(), k, v[i]);
    return out;
}

}  // namespace toolbox::matrix::utils

#include "toolbox/matrix/validation/counts.hpp"

namespace toolbox::matrix::validation::counts {

std::size_t complete_rows(MatView x) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < x.rows(); ++i) {
        const double* row = x.row(i).data();
        bool complete = true;
        for (std::size_t j = 0; j < x.cols(); ++j) complete &= row[j] == row[j];
        n += complete;
    }
    return n;
}

}  // namespace toolbox::matrix::validation::counts

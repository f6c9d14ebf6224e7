#include "toolbox/matrix/nan/detection.hpp"

#include "toolbox/error.hpp"

namespace toolbox::matrix::nan::detection {

bool contains_nan(MatView x) {
    for (std::size_t i = 0; i < x.rows(); ++i) {
        const double* row = x.row(i).data();
        bool any = false;
        for (std::size_t j = 0; j < x.cols(); ++j) any |= row[j] != row[j];
        if (any) return true;
    }
    return false;
}

BoolVector identify_missing_data(MatView x, Each each) {
    const bool per_row = each == Each::Row;
    BoolVector marked(per_row ? x.rows() : x.cols());
    // Row by row in both cases: the matrix is read in memory order.
    for (std::size_t i = 0; i < x.rows(); ++i) {
        const double* row = x.row(i).data();
        if (per_row) {
            bool any = false;
            for (std::size_t j = 0; j < x.cols(); ++j) any |= row[j] != row[j];
            marked[i] = any;
        } else {
            for (std::size_t j = 0; j < x.cols(); ++j) marked[j] = marked[j] | (row[j] != row[j]);
        }
    }
    return marked;
}

MissingIndices get_missing_indices(MatView x, Each each) {
    const BoolVector marked = identify_missing_data(x, each);
    MissingIndices out;
    for (std::size_t i = 0; i < marked.size(); ++i) (marked[i] ? out.missing : out.complete).push_back(i);
    return out;
}

}  // namespace toolbox::matrix::nan::detection

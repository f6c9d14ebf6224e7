// The dense arrays and their views on empty shapes.
#include <gtest/gtest.h>

#include <cstddef>

#include "toolbox/matrix/array.hpp"

namespace {

using toolbox::matrix::MatMut;
using toolbox::matrix::Matrix;
using toolbox::matrix::MatView;
using toolbox::matrix::Vector;

// A matrix without rows has null storage. Its columns are empty views that
// stay at that base: moving a null pointer by the column index would be
// undefined behaviour (clang's sanitizer reports it), even though nothing is
// read through the view.
TEST(ArrayViews, ColumnsOfAMatrixWithoutRowsStayAtItsBase) {
    Matrix m(0, 4);
    ASSERT_EQ(m.data(), nullptr);
    const MatView v = m.view();
    const MatMut w = m.view_mut();
    // Two of its columns, as a view with the row stride of all four.
    const MatView strided(m.data(), 0, 2, 4);
    for (std::size_t j = 0; j < 4; ++j) {
        for (const auto& col : {m.col(j), v.col(j), MatView(w).col(j)}) {
            EXPECT_EQ(col.ptr, nullptr) << j;
            EXPECT_EQ(col.size(), 0u) << j;
            EXPECT_EQ(Vector::from(col).size(), 0u) << j;
        }
        EXPECT_EQ(m.col_mut(j).ptr, nullptr) << j;
        EXPECT_EQ(w.col(j).ptr, nullptr) << j;
    }
    for (std::size_t j = 0; j < 2; ++j) EXPECT_EQ(strided.col(j).ptr, nullptr) << j;

    // With rows, a column starts at its own element and steps by the row stride.
    Matrix full(3, 4);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 4; ++j) full(i, j) = static_cast<double>(10 * i + j);
    const MatView middle(full.data() + 1, 3, 2, 4);  // columns 1 and 2
    for (std::size_t j = 0; j < 4; ++j) {
        EXPECT_EQ(full.col(j).ptr, full.data() + j);
        EXPECT_EQ(full.col(j)[2], static_cast<double>(20 + j));
    }
    EXPECT_EQ(middle.col(1)[2], 22.0);
}

}  // namespace

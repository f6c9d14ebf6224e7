// Copying caller arrays at the boundary: check order, messages, layouts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "ffi/error.hpp"
#include "ffi/inputs.hpp"
#include "ffi/layout.hpp"

namespace {

using ffi::layout::QelLayout;

TEST(Marshalling, LayoutCodes) {
    struct Case {
        int32_t code;
        int32_t status;
        const char* message;
    } cases[] = {
        {0, 0, ""},
        {1, 0, ""},
        {2, 3, "invalid QelLayout value: 2 (use 0=row-major, 1=col-major)"},
        {-1, 3, "invalid QelLayout value: -1 (use 0=row-major, 1=col-major)"},
        {INT32_MIN, 3, "invalid QelLayout value: -2147483648 (use 0=row-major, 1=col-major)"},
    };
    for (const auto& c : cases) {
        ffi::error::clear_last_error();
        const auto got = ffi::layout::check_layout(c.code);
        EXPECT_EQ(got ? 0 : got.error(), c.status) << c.code;
        EXPECT_STREQ(ffi::error::last_error(), c.message) << c.code;
    }
}

TEST(Marshalling, BothLayoutsGiveTheSameRowMajorMatrix) {
    const double row_major[] = {1, 2, 3, 4, 5, 6};  // 2 x 3
    const double col_major[] = {1, 4, 2, 5, 3, 6};
    const auto a = ffi::layout::copy_matrix(row_major, 2, 3, QelLayout::RowMajor);
    const auto b = ffi::layout::copy_matrix(col_major, 2, 3, QelLayout::ColMajor);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->rows(), 2u);
    ASSERT_EQ(a->cols(), 3u);
    ASSERT_EQ(b->rows(), 2u);
    ASSERT_EQ(b->cols(), 3u);
    for (std::size_t k = 0; k < 6; ++k) EXPECT_EQ(a->data()[k], row_major[k]) << k;
    for (std::size_t k = 0; k < 6; ++k) EXPECT_EQ(b->data()[k], row_major[k]) << k;
}

TEST(Marshalling, CopiesAreBitForBitAndOwned) {
    double v[] = {std::numeric_limits<double>::quiet_NaN(), -0.0, std::numeric_limits<double>::infinity()};
    const auto c = ffi::layout::copy_vector(v, 3, "y");
    ASSERT_TRUE(c);
    v[1] = 7.0;  // the copy must not see later changes to caller memory
    EXPECT_TRUE(std::isnan((*c)[0]));
    EXPECT_TRUE((*c)[1] == 0.0 && std::signbit((*c)[1]));
    EXPECT_EQ((*c)[2], std::numeric_limits<double>::infinity());
}

TEST(Marshalling, MatrixFailures) {
    const double data[] = {1.0};
    const std::size_t big = std::size_t{1} << 32;
    struct Case {
        const double* ptr;
        std::size_t rows, cols;
        int32_t status;
        const char* message;
    } cases[] = {
        {nullptr, 1, 1, 1, "matrix pointer is null"},
        {nullptr, 0, 0, 1, "matrix pointer is null"},  // the pointer is looked at first
        {data, 0, 1, 3, "matrix dimensions must be non-zero"},
        {data, 1, 0, 3, "matrix dimensions must be non-zero"},
        {data, big, big, 3, "matrix dimensions overflow"},
        {data, SIZE_MAX, 2, 3, "matrix dimensions overflow"},
    };
    for (const auto& c : cases) {
        ffi::error::clear_last_error();
        const auto got = ffi::layout::copy_matrix(c.ptr, c.rows, c.cols, QelLayout::RowMajor);
        ASSERT_FALSE(got) << c.message;
        EXPECT_EQ(got.error(), c.status) << c.message;
        EXPECT_STREQ(ffi::error::last_error(), c.message);
    }
}

TEST(Marshalling, ModelInputsCheckOrder) {
    const double y[] = {1, 2};
    const double x[] = {1, 2, 3, 4, 5, 6};  // 2 x 3
    const double theta[] = {0, 0, 0};
    struct Case {
        const char* what;
        const double* y;
        std::size_t y_len;
        const double* x;
        std::size_t rows, cols;
        int32_t layout;
        const double* theta;
        std::size_t theta_len;
        int32_t status;
        const char* message;
    } cases[] = {
        {"layout before lengths", y, 5, x, 2, 3, 2, theta, 9, 3,
         "invalid QelLayout value: 2 (use 0=row-major, 1=col-major)"},
        {"y length", y, 3, x, 2, 3, 0, theta, 9, 2, "y length (3) must equal X rows (2)"},
        {"theta length", y, 2, x, 2, 3, 1, theta, 2, 2, "theta length (2) must equal X cols (3)"},
        {"empty y before X", y, 0, x, 0, 3, 0, theta, 3, 3, "y length must be non-zero"},
        {"null y before X", nullptr, 0, nullptr, 0, 3, 0, theta, 3, 1, "y pointer is null"},
        {"zero cols", y, 2, x, 2, 0, 0, theta, 0, 3, "matrix dimensions must be non-zero"},
        {"null X", y, 2, nullptr, 2, 3, 0, theta, 3, 1, "matrix pointer is null"},
        {"null theta", y, 2, x, 2, 3, 0, nullptr, 3, 1, "theta pointer is null"},
    };
    for (const auto& c : cases) {
        ffi::error::clear_last_error();
        const auto got =
            ffi::inputs::load_model_inputs(c.y, c.y_len, c.x, c.rows, c.cols, c.layout, c.theta, c.theta_len);
        ASSERT_FALSE(got) << c.what;
        EXPECT_EQ(got.error(), c.status) << c.what;
        EXPECT_STREQ(ffi::error::last_error(), c.message) << c.what;
    }

    ffi::error::clear_last_error();
    const double x_col[] = {1, 4, 2, 5, 3, 6};
    const auto ok = ffi::inputs::load_model_inputs(y, 2, x_col, 2, 3, QEL_LAYOUT_COL_MAJOR, theta, 3);
    ASSERT_TRUE(ok);
    EXPECT_STREQ(ffi::error::last_error(), "");
    EXPECT_EQ(ok->y.size(), 2u);
    EXPECT_EQ(ok->theta.size(), 3u);
    for (std::size_t i = 0; i < 2; ++i)
        for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(ok->X(i, j), x[i * 3 + j]) << i << "," << j;
}

// A row-major X, y and theta are read in place; a column-major X becomes the
// inputs' own row-major copy.
TEST(Marshalling, RowMajorInputsAreBorrowed) {
    const double y[] = {1, 2};
    const double x[] = {1, 2, 3, 4, 5, 6};
    const double theta[] = {0, 0, 0};
    const auto rows = ffi::inputs::load_model_inputs(y, 2, x, 2, 3, QEL_LAYOUT_ROW_MAJOR, theta, 3);
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->X.data(), x);
    EXPECT_EQ(rows->y.ptr, y);
    EXPECT_EQ(rows->theta.ptr, theta);
    EXPECT_TRUE(rows->x_rows.empty());

    const double x_col[] = {1, 4, 2, 5, 3, 6};
    const auto cols = ffi::inputs::load_model_inputs(y, 2, x_col, 2, 3, QEL_LAYOUT_COL_MAJOR, theta, 3);
    ASSERT_TRUE(cols);
    EXPECT_EQ(cols->X.data(), cols->x_rows.data());
    EXPECT_EQ(cols->X.rows(), 2u);
    EXPECT_EQ(cols->X.cols(), 3u);
}

// A length whose byte size exceeds the address space must surface as an
// allocation failure the boundary guard can catch, never as a crash.
TEST(Marshalling, UnallocatableCopyThrowsBadAlloc) {
    const double one = 1.0;
    const std::size_t huge = std::size_t{1} << 62;  // fits 64 bits, its byte size does not
    EXPECT_THROW((void)ffi::layout::copy_vector(&one, huge, "y"), std::bad_alloc);
    EXPECT_THROW((void)ffi::layout::copy_matrix(&one, std::size_t{1} << 31, std::size_t{1} << 31, QelLayout::RowMajor),
                 std::bad_alloc);
}

}  // namespace

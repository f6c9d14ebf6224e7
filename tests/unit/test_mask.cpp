// Include and exclude masks, the nonzero mask, true counts and column repeats.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/matrix/mask.hpp"
#include "toolbox/matrix/utils.hpp"

namespace {

using toolbox::enums::CensorOperator;
using toolbox::matrix::BoolMatrix;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;
namespace am = toolbox::matrix::mask::apply_mask;
namespace tc = toolbox::matrix::mask::true_count;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<bool> column(const BoolMatrix& m, std::size_t j) {
    std::vector<bool> c;
    for (std::size_t i = 0; i < m.rows(); ++i) c.push_back(m(i, j));
    return c;
}

TEST(IncludeMasks, EachOperatorOnValuesWithNaN) {
    const Vector values{1, 2, kNaN, 3};
    const Vector thresholds{2};
    struct Case {
        const char* name;
        std::optional<CensorOperator> op;
        std::vector<bool> include, exclude;
    } cases[] = {
        {">", CensorOperator::GreaterThan, {false, false, false, true}, {true, true, false, false}},
        {"<", CensorOperator::LessThan, {true, false, false, false}, {false, true, false, true}},
        {">=", CensorOperator::GreaterThanOrEqual, {false, true, false, true}, {true, false, false, false}},
        {"<=", CensorOperator::LessThanOrEqual, {true, true, false, false}, {false, false, false, true}},
        {"absent operator means >=", std::nullopt, {false, true, false, true}, {true, false, false, false}},
    };
    for (const auto& c : cases) {
        const auto [in, out] = am::generate_include_masks(values, thresholds, c.op);
        ASSERT_EQ(in.rows(), 4u) << c.name;
        ASSERT_EQ(in.cols(), 1u) << c.name;
        ASSERT_EQ(out.rows(), 4u) << c.name;
        ASSERT_EQ(out.cols(), 1u) << c.name;
        EXPECT_EQ(column(in, 0), c.include) << c.name;
        EXPECT_EQ(column(out, 0), c.exclude) << c.name;
    }
}

TEST(IncludeMasks, ColumnsFollowThresholdsAndNaNThresholdIsEmpty) {
    const Vector values{1, 2, 3};
    const auto [in, out] = am::generate_include_masks(values, Vector{1.5, kNaN, 3}, CensorOperator::GreaterThan);
    EXPECT_EQ(column(in, 0), (std::vector<bool>{false, true, true}));
    EXPECT_EQ(column(out, 0), (std::vector<bool>{true, false, false}));
    EXPECT_EQ(column(in, 1), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(column(out, 1), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(column(in, 2), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(column(out, 2), (std::vector<bool>{true, true, true}));
}

// Four thresholds and more are compared four at a time (a last group that
// would pass the end starts four before it): every flag is still the
// comparison of its own value and threshold, NaN on either side in neither
// mask, under each operator.
TEST(IncludeMasks, ManyThresholdsMatchTheComparisonOfEachPair) {
    const double inf = std::numeric_limits<double>::infinity();
    const Vector values{1, 2, kNaN, 3, -inf, inf, 2, 0.0, -0.0, 5};
    struct Op {
        CensorOperator op;
        bool (*include)(double, double);
        bool (*exclude)(double, double);
    } ops[] = {
        {CensorOperator::GreaterThan, [](double v, double u) { return v > u; },
         [](double v, double u) { return v <= u; }},
        {CensorOperator::LessThan, [](double v, double u) { return v < u; },
         [](double v, double u) { return v >= u; }},
        {CensorOperator::GreaterThanOrEqual, [](double v, double u) { return v >= u; },
         [](double v, double u) { return v < u; }},
        {CensorOperator::LessThanOrEqual, [](double v, double u) { return v <= u; },
         [](double v, double u) { return v > u; }},
    };
    const Vector thresholds[] = {
        {2, 0.0, kNaN, 3},
        {2, 1.5, kNaN, 3, -0.0},
        {-inf, 1, 2, 2.5, 3, inf, kNaN, 0.0, 4.5},
    };
    for (const auto& op : ops) {
        for (const Vector& thr : thresholds) {
            const auto [in, out] = am::generate_include_masks(values, thr, op.op);
            ASSERT_EQ(in.cols(), thr.size());
            for (std::size_t i = 0; i < values.size(); ++i) {
                for (std::size_t j = 0; j < thr.size(); ++j) {
                    EXPECT_EQ(in(i, j), op.include(values[i], thr[j])) << int(op.op) << " " << i << "," << j;
                    EXPECT_EQ(out(i, j), op.exclude(values[i], thr[j])) << int(op.op) << " " << i << "," << j;
                }
            }
        }
    }
}

TEST(IncludeMasks, EmptyShapes) {
    const auto [in0, out0] = am::generate_include_masks(Vector{1, 2}, Vector{}, CensorOperator::GreaterThanOrEqual);
    EXPECT_EQ(in0.rows(), 2u);
    EXPECT_EQ(in0.cols(), 0u);
    EXPECT_EQ(out0.rows(), 2u);
    EXPECT_EQ(out0.cols(), 0u);
    const auto [in1, out1] = am::generate_include_masks(Vector{}, Vector{1, 2, 3}, CensorOperator::GreaterThanOrEqual);
    EXPECT_EQ(in1.rows(), 0u);
    EXPECT_EQ(in1.cols(), 3u);
    EXPECT_EQ(out1.rows(), 0u);
    EXPECT_EQ(out1.cols(), 3u);
}

TEST(IncludeMasks, UnknownOperatorCodeIsAFault) {
    EXPECT_THROW(am::generate_include_masks(Vector{1}, Vector{1}, static_cast<CensorOperator>(4)), toolbox::Fault);
}

TEST(NonzeroMask, ToleranceIsInclusiveAndNaNIsFalse) {
    const auto m = am::get_array_mask_nonzero(Vector{0.0, -1e-12, 1e-3, kNaN, -1e-9, 1e-9}, 1e-9);
    const bool expected[] = {false, false, true, false, true, true};
    ASSERT_EQ(m.size(), std::size(expected));
    for (std::size_t i = 0; i < m.size(); ++i) EXPECT_EQ(m[i], expected[i]) << i;
}

TEST(TrueCount, PerColumnAndPerRow) {
    const BoolMatrix m{{true, false}, {true, true}, {false, false}};
    const Vector by_col = tc::true_count_axis(m, toolbox::matrix::Each::Column);
    ASSERT_EQ(by_col.size(), 2u);
    EXPECT_EQ(by_col[0], 2.0);
    EXPECT_EQ(by_col[1], 1.0);
    const Vector by_row = tc::true_count_axis(m, toolbox::matrix::Each::Row);
    ASSERT_EQ(by_row.size(), 3u);
    EXPECT_EQ(by_row[0], 1.0);
    EXPECT_EQ(by_row[1], 2.0);
    EXPECT_EQ(by_row[2], 0.0);

    // Lanes of length 0: one zero per lane.
    const BoolMatrix no_rows(0, 3);
    const Vector z = tc::true_count_axis(no_rows, toolbox::matrix::Each::Column);
    ASSERT_EQ(z.size(), 3u);
    for (double v : z) EXPECT_EQ(v, 0.0);
}

TEST(RepeatAsColumns, CopiesTheVectorIntoEveryColumn) {
    const Matrix r = toolbox::matrix::utils::repeat_as_columns(Vector{1, 2}, 3);
    ASSERT_EQ(r.rows(), 2u);
    ASSERT_EQ(r.cols(), 3u);
    for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(r(0, j), 1.0);
        EXPECT_EQ(r(1, j), 2.0);
    }
    const Matrix e = toolbox::matrix::utils::repeat_as_columns(Vector{1, 2}, 0);
    EXPECT_EQ(e.rows(), 2u);
    EXPECT_EQ(e.cols(), 0u);
}

}  // namespace

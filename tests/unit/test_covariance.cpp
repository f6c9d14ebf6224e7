// Covariances of complete data and of data with missing values, and the
// small NaN utilities around them.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/inversion.hpp"
#include "toolbox/matrix/nan/array2d.hpp"
#include "toolbox/matrix/nan/detection.hpp"
#include "toolbox/matrix/validation/counts.hpp"

namespace {

namespace cv = toolbox::matrix::covariance;
using toolbox::enums::InversionMethod;
using toolbox::matrix::MatView;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

const double NaN = std::numeric_limits<double>::quiet_NaN();

// Same value bit for bit, every NaN counting as equal to every NaN.
bool same_bits(double a, double b) { return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

void expect_same(const Matrix& got, const Matrix& want, const std::string& what) {
    ASSERT_EQ(got.rows(), want.rows()) << what;
    ASSERT_EQ(got.cols(), want.cols()) << what;
    for (std::size_t i = 0; i < want.rows(); ++i)
        for (std::size_t j = 0; j < want.cols(); ++j)
            ASSERT_TRUE(same_bits(got(i, j), want(i, j)))
                << what << " at (" << i << ", " << j << "): " << got(i, j) << " vs " << want(i, j);
}

void expect_same(const Vector& got, const Vector& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t j = 0; j < want.size(); ++j)
        ASSERT_TRUE(same_bits(got[j], want[j])) << what << " at " << j << ": " << got[j] << " vs " << want[j];
}

std::string fault_text(auto&& f) {
    try {
        f();
    } catch (const toolbox::Fault& e) {
        return e.text().value_or("<no text>");
    }
    return "<no fault>";
}

// ---- References: the fixed order of operations, written as plainly as possible ----

Matrix ref_cov(MatView x) {
    const std::size_t n = x.rows(), k = x.cols();
    std::vector<double> m(k, 0.0);
    for (std::size_t j = 0; j < k; ++j) {
        for (std::size_t i = 0; i < n; ++i) m[j] += x(i, j);
        m[j] /= static_cast<double>(n);
    }
    Matrix r(k, k);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t l = 0; l < k; ++l) {
            double s = 0.0;
            for (std::size_t i = 0; i < n; ++i) s += (x(i, j) - m[j]) * (x(i, l) - m[l]);
            r(j, l) = s / (static_cast<double>(n) - 1.0);
        }
    return r;
}

Matrix ref_pairwise(MatView x) {
    const std::size_t n = x.rows(), k = x.cols();
    std::vector<double> m(k);
    for (std::size_t j = 0; j < k; ++j) {
        double s = 0.0;
        std::size_t c = 0;
        for (std::size_t i = 0; i < n; ++i)
            if (!std::isnan(x(i, j))) {
                s += x(i, j);
                ++c;
            }
        m[j] = c ? s / static_cast<double>(c) : NaN;
    }
    Matrix r(k, k);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t l = 0; l < k; ++l) {
            double s = 0.0;
            std::size_t c = 0;
            for (std::size_t i = 0; i < n; ++i) {
                double a = x(i, j) - m[j], b = x(i, l) - m[l];
                if (std::isnan(a)) a = 0.0;
                if (std::isnan(b)) b = 0.0;
                s += a * b;
                c += !std::isnan(x(i, j)) && !std::isnan(x(i, l));
            }
            r(j, l) = c >= 2 ? s / static_cast<double>(c - 1) : NaN;
        }
    return r;
}

cv::CovAndMean ref_listwise(MatView x) {
    const std::size_t n = x.rows(), k = x.cols();
    auto complete = [&](std::size_t i) {
        for (std::size_t j = 0; j < k; ++j)
            if (std::isnan(x(i, j))) return false;
        return true;
    };
    Vector m(k);
    std::size_t nc = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (complete(i)) {
            for (std::size_t j = 0; j < k; ++j) m[j] += x(i, j);
            ++nc;
        }
    if (nc == 0) return {Matrix(k, k, NaN), Vector(k, NaN), 0};
    for (std::size_t j = 0; j < k; ++j) m[j] /= static_cast<double>(nc);
    Matrix r(k, k);
    for (std::size_t i = 0; i < n; ++i)
        if (complete(i))
            for (std::size_t j = 0; j < k; ++j) {
                const double dj = x(i, j) - m[j];
                r(j, j) += dj * dj;
                for (std::size_t l = 0; l < j; ++l) {
                    const double dl = x(i, l) - m[l];
                    r(j, l) += dl * dj;
                    r(l, j) += dl * dj;
                }
            }
    for (double& v : r.flat()) v /= static_cast<double>(nc) - 1.0;
    return {std::move(r), std::move(m), nc};
}

// Data with a wide spread of magnitudes (rounding differs with the order of
// operations) and, optionally, missing values.
Matrix random_data(std::size_t n, std::size_t k, double missing_share, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Matrix x(n, k);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < k; ++j)
            x(i, j) = unit(rng) < missing_share ? NaN : normal(rng) * std::pow(10.0, static_cast<double>(j % 5)) + 1e3;
    return x;
}

// ---- The fast paths reproduce the fixed order bit for bit ----

struct Shape {
    std::size_t n, k;
};
// Column counts around the vector and tile widths, row counts around the chunk size.
const Shape kShapes[] = {{2, 1}, {3, 2}, {7, 3}, {50, 4}, {129, 5}, {300, 8}, {513, 9}, {1000, 20}, {257, 33}, {200, 41}, {150, 70}};

TEST(Covariance, CovMatchesTheRowOrderSumBitForBit) {
    for (const auto& s : kShapes) {
        const Matrix x = random_data(s.n, s.k, 0.0, s.n * 100 + s.k);
        expect_same(cv::cov(x), ref_cov(x), "cov " + std::to_string(s.n) + "x" + std::to_string(s.k));
        expect_same(cv::nancov(x, false), ref_cov(x), "nancov pairwise, complete data");
        expect_same(cv::nancov(x, true), ref_cov(x), "nancov listwise, complete data");
    }
}

// Both rules for data with missing values against the fixed order.
void expect_missing_value_rules_keep_their_bits(const Matrix& x, const std::string& what) {
    expect_same(cv::nancov(x, false), ref_pairwise(x), "pairwise " + what);
    const auto want = ref_listwise(x);
    const auto got = cv::listwise_cov_and_mean(x);
    expect_same(got.cov, want.cov, "listwise cov " + what);
    expect_same(got.mean, want.mean, "listwise mean " + what);
    EXPECT_EQ(got.n, want.n) << what;
    expect_same(cv::nancov(x, true), want.cov, "nancov listwise " + what);
}

TEST(Covariance, NancovMatchesTheFixedOrderBitForBit) {
    for (const auto& s : kShapes) {
        for (double share : {0.05, 0.3}) {
            const Matrix x = random_data(s.n, s.k, share, s.n * 7 + s.k);
            expect_missing_value_rules_keep_their_bits(
                x, std::to_string(s.n) + "x" + std::to_string(s.k) + " share " + std::to_string(share));
        }
    }
}

// From 32,768 rows on the products run on the pool, the blocks of the upper
// triangle split among a few parts that each go through all the rows: every
// entry still takes the rows in order, so the results keep the fixed order's
// bits. Column counts around the vector and block widths (few columns stay
// in one part), with and without missing values, and a view with a stride.
TEST(Covariance, OnThePoolTheFixedOrderKeepsItsBits) {
    const Shape shapes[] = {{40'000, 1}, {33'000, 3}, {70'001, 9}, {40'000, 20}, {34'000, 37}};
    for (const auto& s : shapes) {
        const std::string what = std::to_string(s.n) + "x" + std::to_string(s.k);
        const Matrix complete = random_data(s.n, s.k, 0.0, s.n + s.k);
        expect_same(cv::cov(complete), ref_cov(complete), "cov " + what);
        const auto both = cv::nancov_with_means(complete, false);
        expect_same(both.cov, ref_cov(complete), "nancov " + what);
        expect_missing_value_rules_keep_their_bits(random_data(s.n, s.k, 0.02, s.n * 3 + s.k), what);
    }
    const Matrix wide = random_data(40'000, 12, 0.01, 5);
    const MatView left(wide.data() + 1, 40'000, 9, 12);
    expect_same(cv::nancov(left, false), ref_pairwise(left), "pairwise on a strided view");
    // The products read complete rows in place, the columns past a row's own
    // included; the last row, whose would run past the storage, is centred
    // apart, and so is every row of a view that ends a matrix.
    const Matrix wide_complete = random_data(40'000, 12, 0.0, 6);
    const MatView middle(wide_complete.data() + 1, 40'000, 9, 12);
    expect_same(cv::cov(middle), ref_cov(middle), "cov on a strided view");
    const MatView last(wide_complete.data() + 3, 40'000, 9, 12);
    expect_same(cv::cov(last), ref_cov(last), "cov on the last columns of a strided view");
}

// A view whose rows lie further apart than their length (a column block of a wider matrix).
TEST(Covariance, StridedViewsReadOnlyTheirColumns) {
    const Matrix wide = random_data(300, 12, 0.1, 99);
    const MatView left(wide.data(), 300, 7, 12);
    const Matrix packed = Matrix::from(left);
    expect_same(cv::nancov(left, false), cv::nancov(packed, false), "pairwise");
    expect_same(cv::nancov(left, true), cv::nancov(packed, true), "listwise");
    const Matrix complete = random_data(300, 12, 0.0, 98);
    const MatView block(complete.data() + 2, 300, 9, 12);
    expect_same(cv::cov(block), cv::cov(Matrix::from(block)), "cov");
}

// ---- Edge cases ----

TEST(Covariance, DegenerateSizes) {
    // One row: 0/0 in every entry.
    const Matrix one{{1.0, 2.0, 3.0}};
    const Matrix c1 = cv::cov(one);
    for (double v : c1.flat()) EXPECT_TRUE(std::isnan(v));
    // No rows stops the computation, directly, through nancov and through the inversion.
    const Matrix none(0, 3);
    EXPECT_EQ(fault_text([&] { cv::cov(none); }), "Cannot compute mean for empty array");
    EXPECT_EQ(fault_text([&] { cv::nancov(none, false); }), "Cannot compute mean for empty array");
    EXPECT_EQ(fault_text([&] { cv::nancov(none, true); }), "Cannot compute mean for empty array");
    EXPECT_EQ(fault_text([&] { cv::cov_inv_with_method(none, InversionMethod::Gaussian); }),
              "Cannot compute mean for empty array");
    // No columns: an empty covariance.
    EXPECT_EQ(cv::cov(Matrix(4, 0)).size(), 0u);
}

TEST(Covariance, NanInOneColumnSpoilsOnlyItsRowAndColumnOfCov) {
    const Matrix x{{1, 2, 3}, {2, NaN, 5}, {4, 1, 0}, {3, 3, 3}};
    const Matrix c = cv::cov(x);
    for (std::size_t j = 0; j < 3; ++j)
        for (std::size_t l = 0; l < 3; ++l) EXPECT_EQ(std::isnan(c(j, l)), j == 1 || l == 1) << j << "," << l;
}

TEST(Covariance, PairwiseWorkedExample) {
    const Matrix x{{1, 2}, {2, NaN}, {3, 6}, {NaN, 8}};
    const Matrix c = cv::nancov(x, false);
    EXPECT_NEAR(c(0, 1), 4.0, 1e-14);
    EXPECT_EQ(c(0, 1), c(1, 0));
    EXPECT_NEAR(c(0, 0), 2.0 / 2.0, 1e-14);  // (1 + 0 + 1) / (3 - 1)
    const double mb = 16.0 / 3.0;
    EXPECT_NEAR(c(1, 1), ((2 - mb) * (2 - mb) + (6 - mb) * (6 - mb) + (8 - mb) * (8 - mb)) / 2.0, 1e-12);
}

TEST(Covariance, PairCountsBelowTwoGiveNaN) {
    // Column 1 is all NaN; columns 0 and 2 share only one row.
    const Matrix x{{1, NaN, 5}, {2, NaN, NaN}, {4, NaN, NaN}, {NaN, NaN, 2}};
    const Matrix c = cv::nancov(x, false);
    for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_TRUE(std::isnan(c(1, j)));
        EXPECT_TRUE(std::isnan(c(j, 1)));
    }
    EXPECT_TRUE(std::isnan(c(0, 2)));  // one shared row
    EXPECT_FALSE(std::isnan(c(0, 0)));  // three values
    EXPECT_FALSE(std::isnan(c(2, 2)));  // two values
}

TEST(Covariance, AllNaNData) {
    const Matrix x(3, 2, NaN);
    for (bool listwise : {false, true}) {
        const Matrix c = cv::nancov(x, listwise);
        for (double v : c.flat()) EXPECT_TRUE(std::isnan(v)) << listwise;
    }
    const auto per_column = cv::average_with_n(x, false);
    EXPECT_EQ(per_column.n, 3u);
    for (double v : per_column.mean) EXPECT_TRUE(std::isnan(v));
    const auto listwise = cv::average_with_n(x, true);
    EXPECT_EQ(listwise.n, 0u);
    for (double v : listwise.mean) EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(toolbox::matrix::validation::counts::complete_rows(x), 0u);
    const auto idx = toolbox::matrix::nan::detection::get_missing_indices(x, toolbox::matrix::Each::Column);
    EXPECT_EQ(idx.missing, (std::vector<std::size_t>{0, 1}));
    EXPECT_TRUE(idx.complete.empty());
}

TEST(Covariance, ListwiseEdgeCases) {
    // No complete row: NaN covariance and means, count 0.
    const Matrix none{{1, NaN}, {NaN, 2}};
    const auto a = cv::listwise_cov_and_mean(none);
    EXPECT_EQ(a.n, 0u);
    for (double v : a.cov.flat()) EXPECT_TRUE(std::isnan(v));
    for (double v : a.mean) EXPECT_TRUE(std::isnan(v));
    const Matrix c = cv::nancov(none, true);
    for (double v : c.flat()) EXPECT_TRUE(std::isnan(v));
    // Exactly one complete row: its values as means, NaN covariance.
    const Matrix one{{1, NaN}, {3, 4}, {NaN, 2}};
    const auto b = cv::listwise_cov_and_mean(one);
    EXPECT_EQ(b.n, 1u);
    EXPECT_EQ(b.mean[0], 3.0);
    EXPECT_EQ(b.mean[1], 4.0);
    for (double v : b.cov.flat()) EXPECT_TRUE(std::isnan(v));
}

TEST(Covariance, AverageWithN) {
    const Matrix x{{1, 10}, {NaN, 20}, {3, NaN}, {5, 30}};
    struct Case {
        const char* name;
        const Matrix* x;
        bool listwise;
        Vector mean;
        std::size_t n;
    } cases[] = {
        {"per column with NaN", &x, false, Vector{3.0, 20.0}, 4},
        {"listwise with NaN", &x, true, Vector{3.0, 20.0}, 2},
    };
    for (const auto& c : cases) {
        const auto r = cv::average_with_n(*c.x, c.listwise);
        expect_same(r.mean, c.mean, c.name);
        EXPECT_EQ(r.n, c.n) << c.name;
    }
    const Matrix complete{{1, 2}, {2, 4}};
    const auto r = cv::average_with_n(complete, false);
    expect_same(r.mean, Vector{1.5, 3.0}, "complete");
    EXPECT_EQ(r.n, 2u);
    const auto empty = cv::average_with_n(Matrix(0, 2), false);
    EXPECT_EQ(empty.n, 0u);
    for (double v : empty.mean) EXPECT_TRUE(std::isnan(v));
}

TEST(Covariance, InverseOfCovariance) {
    const Matrix x = random_data(200, 4, 0.0, 5);
    const Matrix c = cv::cov(x);
    for (auto m : {InversionMethod::Gaussian, InversionMethod::Cholesky, InversionMethod::Pseudoinverse}) {
        const Matrix got = *cv::cov_inv_with_method(x, m);
        const Matrix want = *toolbox::matrix::inversion::inv_with_method(c, m);
        expect_same(got, want, "method " + std::to_string(static_cast<int>(m)));
    }
    // Two identical columns: an exactly singular covariance, which the
    // boundary reports as an internal fault.
    const Matrix twins{{1, 1}, {2, 2}, {4, 4}};
    for (const auto& [m, text] : {std::pair{InversionMethod::Cholesky, "Cholesky decomposition failed."},
                                  std::pair{InversionMethod::Gaussian, "LU decomposition failed."}}) {
        const auto r = cv::cov_inv_with_method(twins, m);
        ASSERT_FALSE(r.has_value()) << text;
        EXPECT_EQ(r.error().message, std::string("Failed to invert covariance matrix: \"") + text + "\"");
        EXPECT_TRUE(r.error().internal_fault) << text;
    }
    // A third column that is the sum of the first two factorises but cannot
    // be inverted: an ordinary failure, whose text says why.
    Matrix sum = random_data(20, 3, 0.0, 6);
    for (std::size_t i = 0; i < sum.rows(); ++i) sum(i, 2) = sum(i, 0) + sum(i, 1);
    for (auto m : {InversionMethod::Gaussian, InversionMethod::Cholesky}) {
        const auto r = cv::cov_inv_with_method(sum, m);
        if (r || r.error().message == "Cholesky decomposition failed.") continue;  // rounding decides Cholesky's way
        EXPECT_TRUE(toolbox::matrix::inversion::is_numerically_singular(r.error())) << r.error().message;
        EXPECT_FALSE(r.error().internal_fault) << r.error().message;
    }
    EXPECT_FALSE(cv::cov_inv_with_method(sum, InversionMethod::Gaussian).has_value());
    EXPECT_TRUE(cv::cov_inv_with_method(sum, InversionMethod::Pseudoinverse).has_value());
}

// Only the pairwise rule can make a covariance that is not semi-definite:
// its entries come from different rows.
TEST(Covariance, OnlyThePairwiseRuleIsFlagged) {
    const Matrix complete = random_data(30, 3, 0.0, 7);
    const Matrix holes = random_data(30, 3, 0.1, 7);
    struct Case {
        const char* name;
        const Matrix& x;
        bool listwise, pairwise;
    } cases[] = {
        {"complete, pairwise rule", complete, false, false},
        {"complete, listwise rule", complete, true, false},
        {"missing values, listwise rule", holes, true, false},
        {"missing values, pairwise rule", holes, false, true},
    };
    for (const Case& c : cases) EXPECT_EQ(cv::nancov_with_means(c.x, c.listwise).pairwise, c.pairwise) << c.name;
}

TEST(Covariance, APairwiseCovarianceThatIsClearlyIndefiniteIsRefused) {
    const std::string refused =
        "covariance of X is indefinite (smallest eigenvalue -0.5 of its correlations): missing values make the "
        "pairwise covariance indefinite, its entries coming from different observations; use the complete-rows "
        "missing-moments setting (QEL_MISSING_COMPLETE), or fewer missing values";
    // Columns a and b agree wherever both are present, b and c as well, but
    // a and c disagree: each pair's covariance is 1 or -1 on its own rows,
    // against variances of 0.8 over all of them (correlations beyond 1).
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Matrix x{{1, 1, nan}, {2, 2, nan}, {3, 3, nan}, {nan, 1, 1}, {nan, 2, 2}, {nan, 3, 3},
                   {1, nan, 3}, {2, nan, 2}, {3, nan, 1}};
    const auto made = cv::nancov_with_means(x, false);
    ASSERT_TRUE(made.pairwise);
    struct Case {
        const char* name;
        Matrix cov;
        std::string error;
    } cases[] = {
        {"definite", Matrix{{4.0, 1.0}, {1.0, 9.0}}, ""},
        {"singular, semi-definite", Matrix{{1.0, 1.0}, {1.0, 1.0}}, ""},
        // Rounding leaves an eigenvalue of a semi-definite matrix a little
        // below 0: not refused.
        {"rounding below 0", Matrix{{1.0, 1.0 + 1e-16}, {1.0 + 1e-16, 1.0}}, ""},
        {"correlation 1.5", Matrix{{1.0, 1.5}, {1.5, 1.0}}, refused},
        {"from the rows", made.cov, std::string(refused).replace(refused.find("-0.5"), 4, "-1.5")},
    };
    for (const Case& c : cases) {
        const auto r = cv::check_pairwise_definite(c.cov);
        EXPECT_EQ(r ? std::string() : r.error().message, c.error) << c.name;
    }
}

// Worker threads of grid runs compute covariances and their inverses at once.
TEST(Covariance, ConcurrentCallsGiveTheSameResults) {
    const Matrix x = random_data(2000, 9, 0.05, 11);
    const Matrix complete = random_data(2000, 6, 0.0, 12);
    const Matrix pairwise = cv::nancov(x, false);
    const Matrix listwise = cv::nancov(x, true);
    const Matrix inverse = *cv::cov_inv_with_method(complete, InversionMethod::Pseudoinverse);
    std::vector<int> mismatches(8, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t)
        threads.emplace_back([&, t] {
            for (int rep = 0; rep < 10; ++rep) {
                const Matrix p = cv::nancov(x, false);
                const Matrix l = cv::nancov(x, true);
                const Matrix inv = *cv::cov_inv_with_method(complete, InversionMethod::Pseudoinverse);
                for (std::size_t i = 0; i < p.size(); ++i)
                    mismatches[t] += !same_bits(p.data()[i], pairwise.data()[i]) + !same_bits(l.data()[i], listwise.data()[i]);
                for (std::size_t i = 0; i < inv.size(); ++i) mismatches[t] += !same_bits(inv.data()[i], inverse.data()[i]);
            }
        });
    for (auto& th : threads) th.join();
    for (std::size_t t = 0; t < mismatches.size(); ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

// ---- NaN utilities ----

TEST(NanUtilities, MissingIndicesAndCompleteRows) {
    Matrix x(3, 3, 1.0);
    x(2, 0) = NaN;
    namespace det = toolbox::matrix::nan::detection;
    const auto cols = det::get_missing_indices(x, toolbox::matrix::Each::Column);
    EXPECT_EQ(cols.missing, (std::vector<std::size_t>{0}));
    EXPECT_EQ(cols.complete, (std::vector<std::size_t>{1, 2}));
    const auto rows = det::get_missing_indices(x, toolbox::matrix::Each::Row);
    EXPECT_EQ(rows.missing, (std::vector<std::size_t>{2}));
    EXPECT_EQ(rows.complete, (std::vector<std::size_t>{0, 1}));

    namespace cnt = toolbox::matrix::validation::counts;
    EXPECT_EQ(cnt::complete_rows(x), 2u);
    EXPECT_EQ(cnt::complete_rows(Matrix(5, 0)), 5u);
    EXPECT_EQ(cnt::complete_rows(Matrix(0, 3)), 0u);
}

TEST(NanUtilities, NansumUsesFourRunningSums) {
    namespace a2 = toolbox::matrix::nan::array2d;
    // Four-way split: (1e16 + 1) loses the 1 in one running sum but not when
    // the ones sit in their own sums: s0 = 1e16, s1 = s2 = s3 = 1.
    const Vector lane{1e16, 1.0, 1.0, 1.0, 1.0};
    Vector scratch;
    const double want = ((((0.0 + 1e16) + 1.0) + 1.0) + 1.0) + 1.0;
    EXPECT_EQ(a2::nansum_lane(lane, scratch), want);
    const Vector with_nan{NaN, 2.0, NaN, 3.0, NaN, 4.0};
    EXPECT_EQ(a2::nansum_lane(with_nan, scratch), 9.0);
    EXPECT_EQ(a2::nansum_lane(Vector{}, scratch), 0.0);
    EXPECT_EQ(a2::nansum_lane(Vector{NaN, NaN}, scratch), 0.0);

    const Matrix x{{1, NaN, 1e16}, {2, NaN, 1}, {NaN, NaN, 1}, {4, NaN, 1}, {8, NaN, 1}};
    const Vector sums = a2::nansum_axis(x);
    expect_same(sums, Vector{15.0, 0.0, want}, "columns");
    const Vector empty = a2::nansum_axis(Matrix(0, 2));
    EXPECT_EQ(empty.size(), 2u);
    for (double v : empty) EXPECT_EQ(v, 0.0);
}

}  // namespace

// The dense arrays and their views on empty shapes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

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

namespace {

using toolbox::matrix::BoolMatrix;

// Sizes in bytes on both sides of where arrays start to be kept (16 KiB),
// of the size classes of one power of two, and of the blocks mapped on
// huge-page boundaries.
constexpr std::size_t kKeptSizes[] = {16 << 10, 20 << 10, 56 << 10, 400'000, (3 << 20) + 4096, 5 << 20};

// A freed array's block serves the next array of its size, and an array asked
// for as zeros reads as zeros even when its block held other values.
TEST(ArrayCache, FreedBlockServesTheNextArrayOfItsSizeAndZerosAreCleared) {
    for (std::size_t bytes : kKeptSizes) {
        const std::size_t n = bytes / sizeof(double);
        const double* first = nullptr;
        {
            Vector v(n, 7.5);
            first = v.data();
        }
        Vector again(n);
        EXPECT_EQ(again.data(), first) << bytes;
        std::size_t nonzero = 0;
        for (double x : again) nonzero += x != 0.0;
        EXPECT_EQ(nonzero, 0u) << bytes;
    }
}

// Arrays a little smaller than a freed one, within its size class, take its
// block too: a grid's cells differ in their number of attributes.
TEST(ArrayCache, ArraysOfOneSizeClassShareBlocks) {
    const double* first = nullptr;
    {
        Matrix m = Matrix::uninit(5000, 10);  // 400,000 bytes
        first = m.data();
    }
    Matrix smaller(4990, 10);
    EXPECT_EQ(smaller.data(), first);
    EXPECT_EQ(smaller(4989, 9), 0.0);
    // Another element type of a size in the same class.
    const void* taken = smaller.data();
    smaller = Matrix();
    BoolMatrix flags(399'000, 1);
    EXPECT_EQ(static_cast<const void*>(flags.data()), taken);
    EXPECT_FALSE(flags(398'999, 0));
}

// A large freed block waits for the next array of its own size class: a
// smaller array does not take it (and cut it down), so it is still there,
// whole, for the next large one; and of two kept blocks of a class, the one
// that held an array of the size asked for serves it.
TEST(ArrayCache, LargeBlocksAreNeitherCutNorMixedUp) {
    const double* large = nullptr;
    {
        Vector v = Vector::uninit(4'000'000);  // 32 MB
        large = v.data();
    }
    Vector small = Vector::uninit(1'000'000);  // 8 MB: another class
    EXPECT_NE(small.data(), large);
    Vector again = Vector::uninit(4'000'000);
    EXPECT_EQ(again.data(), large);

    // Two sizes of one class (the class of 40 MB), the larger freed first.
    const double* held_larger = nullptr;
    {
        Vector b = Vector::uninit(4'500'000);
        Vector a = Vector::uninit(4'900'000);
        held_larger = a.data();
    }
    Vector c = Vector::uninit(4'900'000);
    EXPECT_EQ(c.data(), held_larger);
}

// Many arrays of one size at once each get their own block, and all of them
// are kept for the next round.
TEST(ArrayCache, ArraysAliveTogetherGetDistinctBlocks) {
    std::vector<const double*> first;
    {
        std::vector<Vector> live;
        for (int i = 0; i < 16; ++i) live.emplace_back(Vector::uninit(4096));
        for (const Vector& v : live) first.push_back(v.data());
        std::vector<const double*> sorted = first;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    }
    std::vector<Vector> live;
    for (int i = 0; i < 16; ++i) live.emplace_back(Vector::uninit(4096));
    for (const Vector& v : live) EXPECT_NE(std::find(first.begin(), first.end(), v.data()), first.end());
}

// Each thread keeps the blocks it frees apart from the others' threads, but a
// block freed on one thread must still serve the next array of its size on
// another, or every call whose results a host frees on its own thread would
// map fresh pages.
TEST(ArrayCache, BlockFreedOnOneThreadServesAnother) {
    for (std::size_t bytes : kKeptSizes) {
        const std::size_t n = bytes / sizeof(double);
        const double* freed = nullptr;
        std::thread([&] {
            Vector v(n, 1.0);
            freed = v.data();
        }).join();
        Vector here = Vector::uninit(n);
        EXPECT_EQ(here.data(), freed) << bytes;
    }
}

// Threads that take and free arrays of the same sizes at once never get one
// block for two live arrays: each writes its own mark through the whole of
// its arrays and must read back only that.
TEST(ArrayCache, ThreadsTakingAndFreeingAtOnceGetBlocksOfTheirOwn) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                const std::size_t n = (r % 3 + 1) * 4096;  // 32, 64 and 96 KiB
                const double mark = t * 1000.0 + r;
                Vector a(n, mark), b(n / 2, -mark);
                std::this_thread::yield();
                for (double v : a) wrong[t] += v != mark;
                for (double v : b) wrong[t] += v != -mark;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

}  // namespace

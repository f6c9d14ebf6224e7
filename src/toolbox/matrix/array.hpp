// Dense arrays of the engine: owned contiguous storage in row-major (C) order
// and cheap non-owning views with a stride.
//
// Routines borrow views and return owned arrays. A matrix row is an
// observation, a column an attribute; per-threshold matrices have one column
// per threshold. `bool` is stored one byte per element (no std::vector<bool>).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <initializer_list>
#include <memory>
#include <span>
#include <type_traits>

#include "toolbox/error.hpp"

namespace toolbox::matrix {

namespace detail {

// Storage of 16 KiB and more is mapped on its own (from a few megabytes on,
// on 2 MiB boundaries and advised for transparent huge pages) and kept for
// reuse when freed, within a bound and only while calls keep coming: pages
// faulted in afresh on every call cost more than the arithmetic, for the
// hundreds of megabytes of a prediction over a million rows as for the few
// hundred kilobytes of one over thousands. `zeroed` tells whether the memory
// is known to read as zeros.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

void* allocate_bytes(std::size_t bytes, bool& zeroed);
void free_bytes(void* p, std::size_t bytes) noexcept;

}  // namespace detail

// Owned, contiguous, deep-copied storage of `n` elements of a trivially
// copyable type.
template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>,
                  "dense arrays hold plain numbers and records of them");

public:
    Buffer() = default;
    // Value-initialised (zeros, false).
    explicit Buffer(std::size_t n) {
        bool zeroed = false;
        allocate(n, zeroed);
        if (n && !zeroed) std::memset(static_cast<void*>(data_), 0, n * sizeof(T));
    }
    Buffer(std::size_t n, const T& value) : Buffer(uninit(n)) { std::fill_n(data_, n, value); }
    // Storage whose every element the caller is about to overwrite.
    static Buffer uninit(std::size_t n) {
        Buffer b;
        bool zeroed = false;
        b.allocate(n, zeroed);
        return b;
    }
    Buffer(const Buffer& other) : Buffer(uninit(other.size_)) {
        if (size_) std::memcpy(static_cast<void*>(data_), other.data_, size_ * sizeof(T));
    }
    Buffer& operator=(const Buffer& other) {
        if (this != &other) {
            Buffer copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~Buffer() { release(); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    void allocate(std::size_t n, bool& zeroed) {
        if (n == 0) return;
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        data_ = static_cast<T*>(detail::allocate_bytes(n * sizeof(T), zeroed));
        size_ = n;
    }
    void release() noexcept {
        if (data_) detail::free_bytes(data_, size_ * sizeof(T));
        data_ = nullptr;
        size_ = 0;
    }
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

// Non-owning strided view of a vector (a contiguous vector, or a matrix column).
template <class T>
struct VectorView {
    T* ptr = nullptr;
    std::size_t len = 0;
    std::ptrdiff_t stride = 1;

    VectorView() = default;
    VectorView(T* p, std::size_t n, std::ptrdiff_t s = 1) : ptr(p), len(n), stride(s) {}
    VectorView(std::span<T> s) : ptr(s.data()), len(s.size()), stride(1) {}
    // A mutable view converts to a read-only one.
    template <class U>
        requires(std::is_same_v<const U, T> && !std::is_same_v<U, T>)
    VectorView(const VectorView<U>& v) : ptr(v.ptr), len(v.len), stride(v.stride) {}

    std::size_t size() const noexcept { return len; }
    bool empty() const noexcept { return len == 0; }
    bool contiguous() const noexcept { return stride == 1; }
    T& operator[](std::size_t i) const noexcept { return ptr[static_cast<std::ptrdiff_t>(i) * stride]; }
    // Only for contiguous views.
    std::span<T> span() const {
        require(stride == 1 || len <= 1, "vector view is not contiguous");
        return {ptr, len};
    }
};

// Non-owning view of a row-major matrix whose rows start `row_stride` elements apart.
template <class T>
struct MatrixView {
    T* ptr = nullptr;
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    std::size_t row_stride = 0;

    MatrixView() = default;
    MatrixView(T* p, std::size_t r, std::size_t c) : ptr(p), n_rows(r), n_cols(c), row_stride(c) {}
    MatrixView(T* p, std::size_t r, std::size_t c, std::size_t rs) : ptr(p), n_rows(r), n_cols(c), row_stride(rs) {}
    template <class U>
        requires(std::is_same_v<const U, T> && !std::is_same_v<U, T>)
    MatrixView(const MatrixView<U>& m) : ptr(m.ptr), n_rows(m.n_rows), n_cols(m.n_cols), row_stride(m.row_stride) {}

    std::size_t rows() const noexcept { return n_rows; }
    std::size_t cols() const noexcept { return n_cols; }
    std::size_t size() const noexcept { return n_rows * n_cols; }
    bool contiguous() const noexcept { return row_stride == n_cols || n_rows <= 1; }
    T& operator()(std::size_t i, std::size_t j) const noexcept { return ptr[i * row_stride + j]; }
    std::span<T> row(std::size_t i) const noexcept { return {ptr + i * row_stride, n_cols}; }
    // A column of a matrix without rows holds nothing, and its view keeps the
    // base pointer unmoved: the storage of an empty matrix is null, and moving
    // a null pointer by a non-zero offset is undefined behaviour even when
    // nothing is read through it.
    VectorView<T> col(std::size_t j) const noexcept {
        return {n_rows == 0 ? ptr : ptr + j, n_rows, static_cast<std::ptrdiff_t>(row_stride)};
    }
    T* data() const noexcept { return ptr; }
};

// Owned vector.
template <class T>
class Array1 {
public:
    Array1() = default;
    explicit Array1(std::size_t n) : buf_(n) {}
    Array1(std::size_t n, const T& value) : buf_(n, value) {}
    Array1(std::initializer_list<T> values) : buf_(Buffer<T>::uninit(values.size())) {
        std::copy(values.begin(), values.end(), buf_.data());
    }
    static Array1 uninit(std::size_t n) { return Array1(Buffer<T>::uninit(n)); }
    static Array1 from(std::span<const T> values) {
        Array1 a = uninit(values.size());
        std::copy(values.begin(), values.end(), a.data());
        return a;
    }
    static Array1 from(VectorView<const T> values) {
        Array1 a = uninit(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) a[i] = values[i];
        return a;
    }

    std::size_t size() const noexcept { return buf_.size(); }
    bool empty() const noexcept { return buf_.size() == 0; }
    T* data() noexcept { return buf_.data(); }
    const T* data() const noexcept { return buf_.data(); }
    T& operator[](std::size_t i) noexcept { return buf_.data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return buf_.data()[i]; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size(); }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size(); }
    std::span<T> span() noexcept { return {data(), size()}; }
    std::span<const T> span() const noexcept { return {data(), size()}; }
    VectorView<const T> view() const noexcept { return {data(), size()}; }
    VectorView<T> view_mut() noexcept { return {data(), size()}; }
    operator VectorView<const T>() const noexcept { return view(); }
    operator std::span<const T>() const noexcept { return span(); }
    void fill(const T& value) { std::fill_n(data(), size(), value); }

private:
    explicit Array1(Buffer<T> b) : buf_(std::move(b)) {}
    Buffer<T> buf_;
};

// Owned row-major matrix.
template <class T>
class Array2 {
public:
    Array2() = default;
    Array2(std::size_t rows, std::size_t cols) : buf_(checked_size(rows, cols)), rows_(rows), cols_(cols) {}
    Array2(std::size_t rows, std::size_t cols, const T& value)
        : buf_(checked_size(rows, cols), value), rows_(rows), cols_(cols) {}
    // Rows of equal length (for small literals, mostly in tests).
    Array2(std::initializer_list<std::initializer_list<T>> rows) {
        rows_ = rows.size();
        cols_ = rows_ ? rows.begin()->size() : 0;
        buf_ = Buffer<T>::uninit(rows_ * cols_);
        std::size_t i = 0;
        for (const auto& r : rows) {
            require(r.size() == cols_, "matrix literal rows differ in length");
            std::copy(r.begin(), r.end(), buf_.data() + i * cols_);
            ++i;
        }
    }
    static Array2 uninit(std::size_t rows, std::size_t cols) {
        Array2 a;
        a.buf_ = Buffer<T>::uninit(checked_size(rows, cols));
        a.rows_ = rows;
        a.cols_ = cols;
        return a;
    }
    static Array2 from(MatrixView<const T> m) {
        Array2 a = uninit(m.rows(), m.cols());
        for (std::size_t i = 0; i < m.rows(); ++i) std::copy_n(m.row(i).data(), m.cols(), a.row(i).data());
        return a;
    }
    // Takes a row-major vector of rows*cols elements as the matrix.
    static Array2 from_vector(Array1<T>&& v, std::size_t rows, std::size_t cols) {
        require(v.size() == checked_size(rows, cols), "matrix shape does not match its data");
        Array2 a = uninit(rows, cols);
        std::copy_n(v.data(), v.size(), a.data());
        return a;
    }

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return rows_ * cols_; }
    bool empty() const noexcept { return size() == 0; }
    T* data() noexcept { return buf_.data(); }
    const T* data() const noexcept { return buf_.data(); }
    T& operator()(std::size_t i, std::size_t j) noexcept { return buf_.data()[i * cols_ + j]; }
    const T& operator()(std::size_t i, std::size_t j) const noexcept { return buf_.data()[i * cols_ + j]; }
    std::span<T> row(std::size_t i) noexcept { return {data() + i * cols_, cols_}; }
    std::span<const T> row(std::size_t i) const noexcept { return {data() + i * cols_, cols_}; }
    // As MatrixView::col: no offset from the null storage of a matrix without rows.
    VectorView<const T> col(std::size_t j) const noexcept { return view().col(j); }
    VectorView<T> col_mut(std::size_t j) noexcept { return view_mut().col(j); }
    std::span<T> flat() noexcept { return {data(), size()}; }
    std::span<const T> flat() const noexcept { return {data(), size()}; }
    MatrixView<const T> view() const noexcept { return {data(), rows_, cols_}; }
    MatrixView<T> view_mut() noexcept { return {data(), rows_, cols_}; }
    operator MatrixView<const T>() const noexcept { return view(); }
    void fill(const T& value) { std::fill_n(data(), size(), value); }

private:
    static std::size_t checked_size(std::size_t rows, std::size_t cols) {
        std::size_t n = 0;
        if (__builtin_mul_overflow(rows, cols, &n)) throw std::bad_alloc();
        return n;
    }
    Buffer<T> buf_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
};

// Owned 3-D array d0 x d1 x d2 in C order: element (i, j, k) at (i*d1 + j)*d2 + k.
template <class T>
class Array3 {
public:
    Array3() = default;
    Array3(std::size_t d0, std::size_t d1, std::size_t d2) : buf_(checked_size(d0, d1, d2)), d0_(d0), d1_(d1), d2_(d2) {}
    Array3(std::size_t d0, std::size_t d1, std::size_t d2, const T& value)
        : buf_(checked_size(d0, d1, d2), value), d0_(d0), d1_(d1), d2_(d2) {}

    std::size_t dim0() const noexcept { return d0_; }
    std::size_t dim1() const noexcept { return d1_; }
    std::size_t dim2() const noexcept { return d2_; }
    std::size_t size() const noexcept { return d0_ * d1_ * d2_; }
    T* data() noexcept { return buf_.data(); }
    const T* data() const noexcept { return buf_.data(); }
    T& operator()(std::size_t i, std::size_t j, std::size_t k) noexcept { return buf_.data()[(i * d1_ + j) * d2_ + k]; }
    const T& operator()(std::size_t i, std::size_t j, std::size_t k) const noexcept {
        return buf_.data()[(i * d1_ + j) * d2_ + k];
    }
    // The d1 x d2 slice at index i of the first axis.
    MatrixView<const T> slice(std::size_t i) const noexcept { return {data() + i * d1_ * d2_, d1_, d2_}; }
    MatrixView<T> slice_mut(std::size_t i) noexcept { return {data() + i * d1_ * d2_, d1_, d2_}; }
    std::span<const T> flat() const noexcept { return {data(), size()}; }
    void fill(const T& value) { std::fill_n(data(), size(), value); }

private:
    static std::size_t checked_size(std::size_t a, std::size_t b, std::size_t c) {
        std::size_t ab = 0, n = 0;
        if (__builtin_mul_overflow(a, b, &ab) || __builtin_mul_overflow(ab, c, &n)) throw std::bad_alloc();
        return n;
    }
    Buffer<T> buf_;
    std::size_t d0_ = 0, d1_ = 0, d2_ = 0;
};

using Vector = Array1<double>;
using Matrix = Array2<double>;
using BoolVector = Array1<bool>;
using BoolMatrix = Array2<bool>;
using ByteMatrix = Array2<std::uint8_t>;
using Array3d = Array3<double>;

using VecView = VectorView<const double>;
using VecMut = VectorView<double>;
using MatView = MatrixView<const double>;
using MatMut = MatrixView<double>;
using BoolMatView = MatrixView<const bool>;

}  // namespace toolbox::matrix

#pragma once
// Two-dimensional fields of a grid level.
//
// Halo layout: interior cells are i = 1..nx (west to east) and j = 1..ny (south to north);
// indices 0, n+1 and n+2 on either axis are halo cells. A field owns one contiguous,
// 64-byte aligned block of (nx+3) x (ny+3) floats, column after column, so that j is the
// contiguous index (column stride ny+3). Kernels receive a FieldView (pointer and stride),
// FieldView<const float> for inputs, and address it as view(i, j) or view[i][j].
// With VESTRA_BOUNDS_CHECK every view(i, j) access is checked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(VESTRA_BOUNDS_CHECK)
#include <cstdio>
#endif

template <typename T>
struct FieldView {
    T* data = nullptr;      // element [0][0]
    int32_t columns = 0;    // nx + 3
    int32_t stride = 0;     // ny + 3

    T& operator()(int32_t i, int32_t j) const {
#if defined(VESTRA_BOUNDS_CHECK)
        if (i < 0 || j < 0 || i >= columns || j >= stride || data == nullptr) {
            std::fprintf(stderr, "field access (%d, %d) outside %d x %d\n", i, j, columns, stride);
            std::abort();
        }
#endif
        return data[static_cast<std::ptrdiff_t>(i) * stride + j];
    }
    // Column i as a plain pointer, so that view[i][j] reads like the model's notation.
    T* operator[](int32_t i) const { return data + static_cast<std::ptrdiff_t>(i) * stride; }
    bool empty() const { return data == nullptr; }

    operator FieldView<const T>() const
        requires(!std::is_const_v<T>)
    {
        return FieldView<const T>{data, columns, stride};
    }
};

using View = FieldView<float>;
using ConstView = FieldView<const float>;

// Owning, aligned block of (nx+3) x (ny+3) values of type T (float or int32_t).
template <typename T>
class FieldStorage {
public:
    FieldStorage() = default;
    FieldStorage(int32_t nx, int32_t ny) { Allocate(nx, ny); }
    FieldStorage(const FieldStorage&) = delete;
    FieldStorage& operator=(const FieldStorage&) = delete;
    FieldStorage(FieldStorage&& other) noexcept { *this = std::move(other); }
    FieldStorage& operator=(FieldStorage&& other) noexcept {
        if (this != &other) {
            Release();
            data_ = std::exchange(other.data_, nullptr);
            columns_ = std::exchange(other.columns_, 0);
            stride_ = std::exchange(other.stride_, 0);
        }
        return *this;
    }
    ~FieldStorage() { Release(); }

    // Allocates the block for an nx x ny interior with its halo; the values are not set.
    void Allocate(int32_t nx, int32_t ny) {
        Release();
        columns_ = nx + 3;
        stride_ = ny + 3;
        std::size_t bytes = Size() * sizeof(T);
        bytes = (bytes + 63) / 64 * 64;
        data_ = static_cast<T*>(std::aligned_alloc(64, bytes == 0 ? 64 : bytes));
        if (data_ == nullptr) throw std::bad_alloc();
    }
    void Release() {
        std::free(data_);
        data_ = nullptr;
        columns_ = stride_ = 0;
    }
    void Fill(T value) {
        for (std::size_t k = 0; k < Size(); ++k) data_[k] = value;
    }

    std::size_t Size() const { return static_cast<std::size_t>(columns_) * static_cast<std::size_t>(stride_); }
    bool empty() const { return data_ == nullptr; }
    int32_t Columns() const { return columns_; }
    int32_t Stride() const { return stride_; }
    T* Data() { return data_; }
    const T* Data() const { return data_; }

    FieldView<T> view() { return FieldView<T>{data_, columns_, stride_}; }
    FieldView<const T> view() const { return FieldView<const T>{data_, columns_, stride_}; }
    FieldView<const T> cview() const { return view(); }
    T& operator()(int32_t i, int32_t j) { return view()(i, j); }
    const T& operator()(int32_t i, int32_t j) const { return view()(i, j); }
    T* operator[](int32_t i) { return data_ + static_cast<std::ptrdiff_t>(i) * stride_; }
    const T* operator[](int32_t i) const { return data_ + static_cast<std::ptrdiff_t>(i) * stride_; }

private:
    T* data_ = nullptr;
    int32_t columns_ = 0;
    int32_t stride_ = 0;
};

using Field = FieldStorage<float>;

#pragma once
// Dense owned vectors and row-major matrices, and read-only strided views of caller memory.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "core/interrupt.hpp"

namespace quarnel {

// Memory aligned to a cache line (64 bytes): entries 0, 8, 16, ... start whole vector
// registers and cache lines, so that the widest loads of a row never straddle two lines.
template <typename T>
struct CacheLineAllocator {
    using value_type = T;
    static constexpr std::align_val_t kAlignment{64};

    CacheLineAllocator() = default;
    template <typename U>
    CacheLineAllocator(const CacheLineAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) { return static_cast<T*>(::operator new(count * sizeof(T), kAlignment)); }
    void deallocate(T* p, std::size_t count) noexcept { ::operator delete(p, count * sizeof(T), kAlignment); }
    template <typename U>
    bool operator==(const CacheLineAllocator<U>&) const noexcept {
        return true;
    }
};

using Vector = std::vector<double, CacheLineAllocator<double>>;

// a * b, or std::bad_alloc when the product does not fit in a size_t (it could never be allocated).
std::size_t checked_product(std::size_t a, std::size_t b);

// Asks for huge pages behind the whole pages of [data, data + bytes), where the system gives
// them on request (Linux's transparent huge pages in madvise mode); a hint, nothing changes
// elsewhere or when it is refused.
void advise_huge_pages(void* data, std::size_t bytes);

// Allocates a zero-filled vector; sizes that cannot be met raise std::bad_alloc, never abort.
Vector zeros(std::size_t length);

// Grows `values` to `count` entries a block of `block` entries at a time, fill(begin, end)
// writing each new block, with a poll of the stop check between blocks: a huge matrix made this
// way can be interrupted while it is made. Sizes that cannot be met raise std::bad_alloc.
template <typename Fill>
void grow_polled(Vector& values, std::size_t count, std::size_t block, Fill&& fill) {
    if (count > values.max_size()) throw std::bad_alloc();
    values.reserve(count);
    while (values.size() < count) {
        if (!values.empty()) throw_if_stop_requested();
        const std::size_t begin = values.size();
        const std::size_t end = begin + std::min(block, count - begin);
        values.resize(end);
        fill(begin, end);
    }
}

struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    Vector data;  // row-major, rows * cols entries

    static Matrix zeros(std::size_t rows, std::size_t cols);

    double& operator()(std::size_t i, std::size_t j) { return data[i * cols + j]; }
    double operator()(std::size_t i, std::size_t j) const { return data[i * cols + j]; }
    std::span<double> row(std::size_t i) { return {data.data() + i * cols, cols}; }
    std::span<const double> row(std::size_t i) const { return {data.data() + i * cols, cols}; }
};

// Read-only view of a 2-D array of doubles with arbitrary byte strides (negative ones too).
// Entries are read with memcpy, so unaligned strides are safe.
struct MatrixView {
    const char* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes
    std::ptrdiff_t col_stride = 0;  // bytes

    static MatrixView of(const Matrix& m);

    double operator()(std::size_t i, std::size_t j) const {
        double value;
        std::memcpy(&value, data + static_cast<std::ptrdiff_t>(i) * row_stride +
                                static_cast<std::ptrdiff_t>(j) * col_stride,
                    sizeof value);
        return value;
    }
    // True when the entries lie in memory exactly as a row-major Matrix would hold them.
    bool is_row_major_contiguous() const;
    // A row-major copy, made in blocks of rows (polling the stop check between them).
    Matrix copy() const;
};

// Read-only view of a 1-D array of doubles with an arbitrary byte stride.
struct VectorView {
    const char* data = nullptr;
    std::size_t length = 0;
    std::ptrdiff_t stride = 0;  // bytes

    double operator()(std::size_t i) const {
        double value;
        std::memcpy(&value, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof value);
        return value;
    }
    // A dense copy in index order (a view that runs backwards in memory comes out forwards).
    Vector copy() const;
};

// Read-only view of a 3-D array: a stack of `count` matrices of rows x cols.
struct StackView {
    const char* data = nullptr;
    std::size_t count = 0;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t stack_stride = 0;  // bytes
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    MatrixView operator[](std::size_t k) const {
        return {data + static_cast<std::ptrdiff_t>(k) * stack_stride, rows, cols, row_stride, col_stride};
    }
};

}  // namespace quarnel

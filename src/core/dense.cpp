#include "core/dense.hpp"

#include <cstdint>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <limits>

namespace quarnel {

std::size_t checked_product(std::size_t a, std::size_t b) {
    std::size_t product;
    if (__builtin_mul_overflow(a, b, &product)) throw std::bad_alloc();
    return product;
}

void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHugePage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data, (void)bytes;
#endif
}

Vector zeros(std::size_t length) {
    if (length > Vector().max_size()) throw std::bad_alloc();
    return Vector(length, 0.0);
}

Matrix Matrix::zeros(std::size_t rows, std::size_t cols) {
    return Matrix{rows, cols, quarnel::zeros(checked_product(rows, cols))};
}

MatrixView MatrixView::of(const Matrix& m) {
    constexpr auto entry = static_cast<std::ptrdiff_t>(sizeof(double));
    return {reinterpret_cast<const char*>(m.data.data()), m.rows, m.cols,
            static_cast<std::ptrdiff_t>(m.cols) * entry, entry};
}

bool MatrixView::is_row_major_contiguous() const {
    constexpr auto entry = static_cast<std::ptrdiff_t>(sizeof(double));
    if (rows == 0 || cols == 0) return true;
    const bool columns_packed = cols == 1 || col_stride == entry;
    const bool rows_packed = rows == 1 || row_stride == static_cast<std::ptrdiff_t>(cols) * entry;
    return columns_packed && rows_packed;
}

Matrix MatrixView::copy() const {
    Matrix out{rows, cols, {}};
    if (cols == 0) return out;
    const std::size_t rows_per_block = std::max<std::size_t>(1, kWorkPerPoll / cols);
    const bool contiguous = is_row_major_contiguous();
    grow_polled(out.data, checked_product(rows, cols), rows_per_block * cols, [&](std::size_t begin, std::size_t end) {
        if (contiguous) {
            std::memcpy(out.data.data() + begin, data + begin * sizeof(double), (end - begin) * sizeof(double));
            return;
        }
        for (std::size_t i = begin / cols; i < end / cols; ++i)
            for (std::size_t j = 0; j < cols; ++j) out(i, j) = (*this)(i, j);
    });
    return out;
}

Vector VectorView::copy() const {
    Vector out = zeros(length);
    for (std::size_t i = 0; i < length; ++i) out[i] = (*this)(i);
    return out;
}

}  // namespace quarnel

#include "explore/norms.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "explore/fold.hpp"
#include "explore/text.hpp"

namespace quarnel {
namespace {

constexpr double kNegativeInfinity = -std::numeric_limits<double>::infinity();

// Largest value u = next_unit() can take.
constexpr double kLargestUnit = 1.0 - 0x1.0p-53;

// Entries of the view as one block of memory, lowest address first, when they fill one
// without gaps (in any axis order and direction); nullptr otherwise.
const char* contiguous_block(const MatrixView& m) {
    const std::ptrdiff_t entry = sizeof(double);
    const auto span_of = [](std::size_t length, std::ptrdiff_t stride) {
        return length <= 1 ? std::ptrdiff_t{0} : static_cast<std::ptrdiff_t>(length - 1) * stride;
    };
    const std::ptrdiff_t row_span = span_of(m.rows, m.row_stride);
    const std::ptrdiff_t col_span = span_of(m.cols, m.col_stride);
    const std::ptrdiff_t row_step = m.rows <= 1 ? 0 : std::abs(m.row_stride);
    const std::ptrdiff_t col_step = m.cols <= 1 ? 0 : std::abs(m.col_stride);
    const auto rows = static_cast<std::ptrdiff_t>(m.rows);
    const auto cols = static_cast<std::ptrdiff_t>(m.cols);
    const bool row_major = (m.cols <= 1 || col_step == entry) && (m.rows <= 1 || row_step == entry * cols);
    const bool col_major = (m.rows <= 1 || row_step == entry) && (m.cols <= 1 || col_step == entry * rows);
    if (!row_major && !col_major) return nullptr;
    return m.data + std::min<std::ptrdiff_t>(row_span, 0) + std::min<std::ptrdiff_t>(col_span, 0);
}

double read_entry(const char* address) {
    double value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

// The largest s in [0, scale] with low + s * kLargestUnit < high. The left side never
// decreases as s grows, so a bisection over the bit patterns of non-negative doubles (ordered
// like the values) finds it; s = 0 always qualifies because low < high.
double narrowed_scale(double low, double high, double scale) {
    const auto stays_below_high = [&](double s) { return low + s * kLargestUnit < high; };
    if (stays_below_high(scale)) return scale;
    std::uint64_t good = 0;                               // bits of 0.0
    std::uint64_t bad = std::bit_cast<std::uint64_t>(scale);
    while (bad - good > 1) {
        const std::uint64_t middle = good + (bad - good) / 2;
        (stays_below_high(std::bit_cast<double>(middle)) ? good : bad) = middle;
    }
    return std::bit_cast<double>(good);
}

}  // namespace

// Norms of huge matrices poll the stop check a row at a time (a poll every million entries or so).

double max_norm(const MatrixView& m) {
    double result = kNegativeInfinity;
    StopPoller poller(m.cols);
    for (std::size_t i = 0; i < m.rows; ++i) {
        poller.tick();
        for (std::size_t j = 0; j < m.cols; ++j) result = max_skipping_nan(result, std::fabs(m(i, j)));
    }
    return result;
}

double infinity_norm(const MatrixView& m) {
    double result = kNegativeInfinity;
    StopPoller poller(m.cols);
    for (std::size_t i = 0; i < m.rows; ++i) {
        poller.tick();
        double row_sum = -0.0;
        for (std::size_t j = 0; j < m.cols; ++j) row_sum += std::fabs(m(i, j));
        result = max_skipping_nan(result, row_sum);
    }
    return result;
}

double frobenius_norm(const MatrixView& m) {
    double sum = 0.0;
    if (const char* block = contiguous_block(m)) {
        const std::size_t count = m.rows * m.cols;
        StopPoller poller(1);
        for (std::size_t k = 0; k < count; ++k) {
            poller.tick();
            const double value = read_entry(block + k * sizeof(double));
            sum += value * value;
        }
    } else {
        StopPoller poller(m.cols);
        for (std::size_t i = 0; i < m.rows; ++i) {
            poller.tick();
            for (std::size_t j = 0; j < m.cols; ++j) {
                const double value = m(i, j);
                sum += value * value;
            }
        }
    }
    return std::sqrt(sum);
}

std::optional<NormKind> parse_norm_kind(std::string_view name) {
    if (equals_ignoring_case(name, "max")) return NormKind::Max;
    if (equals_ignoring_case(name, "infinity")) return NormKind::Infinity;
    if (equals_ignoring_case(name, "frobenius")) return NormKind::Frobenius;
    return std::nullopt;
}

const char* range_error_name(RangeError error) {
    return error == RangeError::EmptyRange ? "EmptyRange" : "NonFinite";
}

std::variant<UniformRange, RangeError> UniformRange::create(double low, double high) {
    if (!(low < high)) return RangeError::EmptyRange;
    const double scale = high - low;
    if (!std::isfinite(scale)) return RangeError::NonFinite;
    return UniformRange{low, narrowed_scale(low, high, scale)};
}

UniformRange UniformRange::create_or_panic(double low, double high) {
    auto range = create(low, high);
    if (const auto* error = std::get_if<RangeError>(&range))
        panic(std::string("invalid magnitude range: ") + range_error_name(*error));
    return std::get<UniformRange>(range);
}

double UniformRange::sample(TrialStream& stream) const { return low + scale * stream.next_unit(); }

void draw_perturbation(Matrix& target, const UniformRange& range, TrialStream& stream) {
    StopPoller poller(1);
    for (double& entry : target.data) {
        poller.tick();
        const double magnitude = range.sample(stream);
        entry = stream.next_coin() ? -magnitude : magnitude;
    }
}

}  // namespace quarnel

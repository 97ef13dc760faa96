#include "core/simplex.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>

#include "core/kernels.hpp"
#include "core/panic.hpp"
#include "core/vector_ops.hpp"

namespace quarnel {

namespace {

// Vectors up to this length are insertion-sorted: cheapest for the tiny strategy vectors of
// most games.
constexpr std::size_t kInsertionSortLimit = 16;

// The threshold search over the entries in descending order: every entry is visited and the
// last one that lies above its candidate threshold decides.
struct ThresholdScan {
    double cumsum = 0.0;
    double theta = 0.0;
    bool found = false;

    void visit(double entry, double position, double radius) {
        cumsum += entry;
        const double t = (cumsum - radius) / position;
        if (entry > t) {
            theta = t;
            found = true;
        }
    }
    // An overflowing running sum or threshold turns the result into nonsense (or no result).
    bool usable() const { return found && std::isfinite(cumsum) && std::isfinite(theta); }
};

// Four entries at a time in two register-wide pairs (x != x only for NaN): the check runs
// on every projection.
bool any_nan(std::span<const double> v) {
    typedef double Pair __attribute__((vector_size(16)));
    typedef std::int64_t PairMask __attribute__((vector_size(16)));
    PairMask seen_low = {0, 0}, seen_high = {0, 0};
    std::size_t i = 0;
    for (; i + 4 <= v.size(); i += 4) {
        Pair low, high;
        std::memcpy(&low, v.data() + i, sizeof low);
        std::memcpy(&high, v.data() + i + 2, sizeof high);
        seen_low |= low != low;
        seen_high |= high != high;
    }
    const PairMask seen = seen_low | seen_high;
    bool nan = (seen[0] | seen[1]) != 0;
    for (; i < v.size(); ++i) nan |= std::isnan(v[i]);
    return nan;
}

bool all_finite(std::span<const double> v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

// Descending order; NaN has been ruled out, so the comparison is a strict weak order. Ties
// need no particular order: equal entries give the same running sums whichever comes first,
// so an unstable sort yields the same threshold as a stable one.
void sort_descending(std::span<double> u) {
    if (u.size() > kInsertionSortLimit) {
        std::sort(u.begin(), u.end(), std::greater<>());
        return;
    }
    for (std::size_t i = 1; i < u.size(); ++i) {
        const double entry = u[i];
        std::size_t j = i;
        for (; j > 0 && u[j - 1] < entry; --j) u[j] = u[j - 1];
        u[j] = entry;
    }
}

// The general scan for two entries, without the copy and the sort: the hot case of 2 x 2 games.
ThresholdScan scan_pair(double first, double second, double radius) {
    const bool swap = second > first;
    ThresholdScan scan;
    scan.visit(swap ? second : first, 1.0, radius);
    scan.visit(swap ? first : second, 2.0, radius);
    return scan;
}

// An insertion sort from a nearly right order costs about n moves; one that would take more
// than this many moves per entry gives way to a full sort.
constexpr std::size_t kWarmSortMovesPerEntry = 8;

// Insertion sort of (sorted, order) pairs by value, descending; false when it gave up after
// its move budget (the pairs are then garbage: one entry is lost, another doubled).
bool insertion_sort_within_budget(Vector& sorted, std::vector<std::uint32_t>& order) {
    std::size_t budget = kWarmSortMovesPerEntry * sorted.size();
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        const double entry = sorted[i];
        if (!(sorted[i - 1] < entry)) continue;  // already in place, the common case
        const std::uint32_t index = order[i];
        std::size_t j = i;
        for (; j > 0 && sorted[j - 1] < entry; --j) {
            if (budget-- == 0) return false;
            sorted[j] = sorted[j - 1];
            order[j] = order[j - 1];
        }
        sorted[j] = entry;
        order[j] = index;
    }
    return true;
}

// The entries of `v` (no NaN) in descending order into scratch.sorted, starting from the
// order remembered from the previous input of the same length. Ties may come out in any
// order: equal values give the same sorted sequence either way.
void sort_descending_warm(std::span<const double> v, ProjectionScratch& scratch) {
    const std::size_t n = v.size();
    auto& order = scratch.order;
    if (n > std::numeric_limits<std::uint32_t>::max()) {  // beyond what the indices can name
        scratch.sorted.assign(v.begin(), v.end());
        sort_descending(scratch.sorted);
        return;
    }
    if (order.size() != n) {
        order.resize(n);
        std::iota(order.begin(), order.end(), 0u);
    }
    const auto gather = [&] {
        for (std::size_t k = 0; k < n; ++k) scratch.sorted[k] = v[order[k]];
    };
    scratch.sorted.resize(n);
    gather();
    if (insertion_sort_within_budget(scratch.sorted, order)) return;
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return v[a] > v[b]; });
    gather();
}

// Entries per block of the threshold search over a sorted vector.
constexpr std::size_t kScanBlock = 64;

// The same result as visiting every entry in order, found faster: the running sums of a block
// are formed first (strictly in order), then the block is searched from its end for the last
// entry above its threshold, so the divisions before that entry are skipped.
ThresholdScan scan_descending(std::span<const double> sorted, double radius) {
    ThresholdScan scan;
    double sums[kScanBlock];
    for (std::size_t start = 0; start < sorted.size(); start += kScanBlock) {
        const std::size_t length = std::min(kScanBlock, sorted.size() - start);
        for (std::size_t k = 0; k < length; ++k) {
            scan.cumsum += sorted[start + k];
            sums[k] = scan.cumsum;
        }
        for (std::size_t k = length; k-- > 0;) {
            const double t = (sums[k] - radius) / static_cast<double>(start + k + 1);
            if (sorted[start + k] > t) {
                scan.theta = t;
                scan.found = true;
                break;
            }
        }
    }
    return scan;
}

ThresholdScan scan_sorted(std::span<const double> v, double radius, ProjectionScratch& scratch) {
    sort_descending_warm(v, scratch);
    return scan_descending(scratch.sorted, radius);
}

void write_clipped(std::span<const double> v, double shift, double theta, std::span<double> out) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        const double d = (v[i] - shift) - theta;
        out[i] = d > 0.0 ? d : 0.0;
    }
}

// The projection of a finite vector whose direct scan overflowed or found no threshold: the
// same search on the vector shifted down by its largest entry, which has the same projection.
// Every shifted entry is <= 0, so a running sum that leaves the finite range has reached
// entries too low to lie above their threshold; the scan stops before the first of them.
void project_shifted(std::span<const double> v, double radius, std::span<double> out,
                     ProjectionScratch& scratch) {
    const double largest = *std::max_element(v.begin(), v.end());
    scratch.sorted.resize(v.size());
    std::transform(v.begin(), v.end(), scratch.sorted.begin(), [largest](double x) { return x - largest; });
    sort_descending(scratch.sorted);
    ThresholdScan scan;
    for (std::size_t j = 0; j < scratch.sorted.size(); ++j) {
        ThresholdScan next = scan;
        next.visit(scratch.sorted[j], static_cast<double>(j + 1), radius);
        if (!next.usable()) break;
        scan = next;
    }
    if (!scan.found) panic("Issue computing theta");
    write_clipped(v, largest, scan.theta, out);
}

[[noreturn]] void panic_output_length(std::size_t input, std::size_t output) {
    panic("projection of a vector of length " + std::to_string(input) + " into an output of length " +
          std::to_string(output));
}

void append_entries(std::string& text, std::span<const double> v) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i > 0) text += ", ";
        text += render_double(v[i]);
    }
}

std::string fixed_notation(const std::string& digits, int exponent) {
    if (exponent < 0) return std::string("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integer_digits)
        return std::string(digits).append(integer_digits - digits.size(), '0').append(".0");
    return digits.substr(0, integer_digits).append(".").append(digits, integer_digits);
}

std::string exponent_notation(const std::string& digits, int exponent) {
    std::string text = digits.substr(0, 1);
    if (digits.size() > 1) text.append(".").append(digits, 1);
    return text.append("e").append(std::to_string(exponent));
}

}  // namespace

void simplex_projection_into(std::span<const double> v, double radius, std::span<double> out,
                             ProjectionScratch& scratch) {
    if (out.size() != v.size()) panic_output_length(v.size(), out.size());
    if (v.size() >= 2 && any_nan(v)) panic("NaN encountered");
    const ThresholdScan scan = v.size() == 2 ? scan_pair(v[0], v[1], radius) : scan_sorted(v, radius, scratch);
    if (!scan.usable() && !v.empty() && all_finite(v)) {
        project_shifted(v, radius, out, scratch);
        return;
    }
    if (!scan.found) panic("Issue computing theta");
    write_clipped(v, 0.0, scan.theta, out);
}

Vector simplex_projection(std::span<const double> v, double radius) {
    Vector out = zeros(v.size());
    ProjectionScratch scratch;
    simplex_projection_into(v, radius, out, scratch);
    return out;
}

namespace {

// Vectors shorter than this are checked as the check reads, index order.
constexpr std::size_t kShortChain = 16;

// The check as it reads: every entry >= 0 and the index-order sum from -0.0 near 1.
bool index_order_verdict(std::span<const double> v) {
    double sum = -0.0;
    bool non_negative = true;
    for (double x : v) {
        sum += x;
        non_negative &= x >= 0.0;
    }
    return non_negative && std::fabs(sum - 1.0) < kSimplexTolerance;
}

}  // namespace

// The index-order sum is a chain of dependent additions, long for long vectors. A sum of the
// same non-negative entries in any order lies within about n 2^-53 of it (relative), so a sum
// in interleaved parts gives the same verdict unless it falls within a wide margin of the
// tolerance's edge, where the index-order sum decides.
bool lies_on_simplex(std::span<const double> v, double smallest, double sum) {
    if (v.size() < kShortChain) return index_order_verdict(v);
    if (smallest < 0.0) return false;
    if (sum != sum) return false;  // with no negative entry, NaN exactly when an entry is
    const double distance = std::fabs(sum - 1.0);
    const double margin = static_cast<double>(v.size()) * 0x1p-48;
    if (distance < kSimplexTolerance - margin) return true;
    if (distance > kSimplexTolerance + margin) return false;
    return index_order_verdict(v);
}

bool lies_on_simplex(std::span<const double> v) {
    if (v.size() < kShortChain) return index_order_verdict(v);
    const Kernels& k = kernels();
    const double smallest = k.nan_ignoring_min(v.data(), v.size());
    if (smallest < 0.0) return false;
    return lies_on_simplex(v, smallest, k.sum_of(v.data(), v.size()));
}

std::string simplex_failure_message(std::span<const double> v) {
    return "v does not belong on the simplex. Last values : " + render_vector(v);
}

std::string render_vector(std::span<const double> v) {
    constexpr std::size_t kElisionLength = 500;
    constexpr std::size_t kShownAtEachEnd = 5;
    std::string text = "[";
    if (v.size() >= kElisionLength) {
        append_entries(text, v.first(kShownAtEachEnd));
        text += ", ..., ";
        append_entries(text, v.last(kShownAtEachEnd));
    } else {
        append_entries(text, v);
    }
    text += "] (length " + std::to_string(v.size()) + ", stride 1, 1 dimension)";
    return text;
}

std::string render_double(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    const std::string sign = std::signbit(value) ? "-" : "";
    if (value == 0.0) return sign + "0.0";

    // Shortest round-trip digits in scientific form, e.g. "1.5e-07".
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                      std::chars_format::scientific);
    const std::string scientific(buffer, result.ptr);
    const std::size_t e = scientific.find('e');
    std::string digits = scientific.substr(0, e);
    std::erase(digits, '.');
    const int exponent = std::stoi(scientific.substr(e + 1));

    const double magnitude = std::fabs(value);
    const bool use_exponent = magnitude < 1e-4 || magnitude >= 1e16;
    return sign + (use_exponent ? exponent_notation(digits, exponent) : fixed_notation(digits, exponent));
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char escaped[16];
                    std::snprintf(escaped, sizeof escaped, "\\u{%x}", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::variant<Vector, SimplexError> S::build(Vector v) {
    if (lies_on_simplex(v)) return v;
    return SimplexError{simplex_failure_message(v)};
}

Vector build_or_panic(Vector v, const char* context) {
    if (!lies_on_simplex(v)) panic_off_simplex(v, context);
    return v;
}

void panic_off_simplex(std::span<const double> v, const char* context) {
    panic(std::string(context) + ": " + quoted(simplex_failure_message(v)));
}

}  // namespace quarnel

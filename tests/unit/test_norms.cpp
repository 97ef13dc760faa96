#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "core/panic.hpp"
#include "explore/norms.hpp"
#include "explore/random.hpp"

namespace quarnel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::ptrdiff_t kEntry = sizeof(double);

MatrixView row_major_view(const std::vector<double>& buffer, std::size_t rows, std::size_t cols) {
    return {reinterpret_cast<const char*>(buffer.data()), rows, cols, static_cast<std::ptrdiff_t>(cols) * kEntry,
            kEntry};
}

TrialStream seeded(std::uint64_t a) { return TrialStream(SweepKey{{a, 0x9e3779b97f4a7c15ULL}}, 42); }

// EXPECT_EQ of the three norms, where a NaN expectation asks for NaN.
void expect_norms(const MatrixView& m, double max, double infinity, double frobenius) {
    EXPECT_EQ(max_norm(m), max);
    EXPECT_EQ(infinity_norm(m), infinity);
    if (std::isnan(frobenius)) EXPECT_TRUE(std::isnan(frobenius_norm(m)));
    else EXPECT_EQ(frobenius_norm(m), frobenius);
}

TEST(Norms, OfSmallEmptyAndNaNMatrices) {
    const std::vector<double> small = {1, -2, 3, 4}, with_nan = {kNaN, 1, -2, 3}, only_nan = {kNaN, -kNaN}, none;
    expect_norms(row_major_view(small, 2, 2), 4.0, 7.0, std::sqrt(30.0));
    expect_norms(row_major_view(with_nan, 2, 2), 3.0, 5.0, kNaN);  // maxima skip NaN (and the NaN row's sum)
    EXPECT_EQ(max_norm(row_major_view(only_nan, 1, 2)), -kInf);
    EXPECT_EQ(infinity_norm(row_major_view(only_nan, 2, 1)), -kInf);
    expect_norms(row_major_view(none, 0, 3), -kInf, -kInf, 0.0);
    const MatrixView no_cols = row_major_view(none, 2, 0);
    expect_norms(no_cols, -kInf, 0.0, 0.0);
    EXPECT_TRUE(std::signbit(infinity_norm(no_cols)));
    EXPECT_FALSE(std::signbit(frobenius_norm(no_cols)));
}

TEST(Norms, ReadStridedViews) {
    // 2x3 matrix (1, -2, 3; -4, 5, -6) seen through differently laid out buffers.
    const std::vector<double> transposed = {1, -4, -2, 5, 3, -6};
    const std::vector<double> reversed = {-6, 5, -4, 3, -2, 1};
    const std::vector<double> padded = {1, 99, -2, 99, 3, 99, -4, 99, 5, 99, -6, 99};
    const auto at = [](const std::vector<double>& buffer, std::size_t i) {
        return reinterpret_cast<const char*>(buffer.data() + i);
    };
    for (const MatrixView& m : {MatrixView{at(transposed, 0), 2, 3, kEntry, 2 * kEntry},
                                MatrixView{at(reversed, 5), 2, 3, -3 * kEntry, -kEntry},
                                MatrixView{at(padded, 0), 2, 3, 6 * kEntry, 2 * kEntry}})
        expect_norms(m, 6.0, 15.0, std::sqrt(91.0));
}

// Squares of b are 2^-54: added to 1 one at a time they vanish, added up first they do not.
TEST(Norms, FrobeniusSumsContiguousViewsInMemoryOrder) {
    const double b = 0x1.0p-27;
    const std::vector<double> buffer = {b, b, b, b, b, b, b, b, 1.0};
    const char* last = reinterpret_cast<const char*>(buffer.data() + 8);
    const MatrixView rotated{last, 3, 3, -3 * kEntry, -kEntry};  // index order starts with 1.0
    EXPECT_EQ(frobenius_norm(rotated), std::sqrt(1.0 + 0x1.0p-51));
    const char* bottom_row = reinterpret_cast<const char*>(buffer.data() + 6);
    const MatrixView flipped{bottom_row, 3, 3, -3 * kEntry, kEntry};
    EXPECT_EQ(frobenius_norm(flipped), std::sqrt(1.0 + 0x1.0p-51));
    // Not contiguous (rows overlap): summed row by row, where 1.0 comes early.
    const MatrixView overlapping{bottom_row, 2, 3, -kEntry, kEntry};  // rows (b, b, 1), (b, b, b)
    EXPECT_EQ(frobenius_norm(overlapping), 1.0);
}

TEST(NormKindNames, AcceptAnyCaseAndNothingElse) {
    EXPECT_EQ(parse_norm_kind("MAX"), NormKind::Max);
    EXPECT_EQ(parse_norm_kind("Infinity"), NormKind::Infinity);
    EXPECT_EQ(parse_norm_kind("FroBenius"), NormKind::Frobenius);
    for (const char* name : {"", " max", "max ", "l2", "maxi", "infinit", "\xC4\xB0nfinity", "fro"})
        EXPECT_EQ(parse_norm_kind(name), std::nullopt) << name;
}

struct RangeErrorCase {
    double low, high;
    RangeError error;
};

class UniformRangeErrors : public ::testing::TestWithParam<RangeErrorCase> {};

TEST_P(UniformRangeErrors, AreReported) {
    const auto [low, high, error] = GetParam();
    const auto range = UniformRange::create(low, high);
    ASSERT_TRUE(std::holds_alternative<RangeError>(range));
    EXPECT_EQ(std::get<RangeError>(range), error);
    try {
        UniformRange::create_or_panic(low, high);
        FAIL() << "no panic";
    } catch (const Panic& failure) {
        EXPECT_NE(failure.message().find(range_error_name(error)), std::string::npos) << failure.message();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UniformRangeErrors,
                         ::testing::Values(RangeErrorCase{1, 1, RangeError::EmptyRange},
                                           RangeErrorCase{2, 1, RangeError::EmptyRange},
                                           RangeErrorCase{kNaN, 1, RangeError::EmptyRange},
                                           RangeErrorCase{0, kNaN, RangeError::EmptyRange},
                                           RangeErrorCase{kInf, kInf, RangeError::EmptyRange},
                                           RangeErrorCase{-1e308, 1e308, RangeError::NonFinite},
                                           RangeErrorCase{0, kInf, RangeError::NonFinite},
                                           RangeErrorCase{-kInf, 0, RangeError::NonFinite}));

class UniformRangeNarrowing : public ::testing::TestWithParam<std::pair<double, double>> {};

// The largest magnitude a sample can take stays below high, and the scale is the widest that
// does: one step wider would let a sample round up to high (for [0, 1) the width is kept).
TEST_P(UniformRangeNarrowing, KeepsSamplesBelowHigh) {
    const auto [low, high] = GetParam();
    const auto range = std::get<UniformRange>(UniformRange::create(low, high));
    const double largest_unit = 1.0 - 0x1.0p-53;
    EXPECT_EQ(range.low, low);
    EXPECT_LT(range.low + range.scale * largest_unit, high);
    EXPECT_GE(range.low + std::nextafter(range.scale, kInf) * largest_unit, high);
}

INSTANTIATE_TEST_SUITE_P(Cases, UniformRangeNarrowing,
                         ::testing::Values(std::pair{0.0, 1.0}, std::pair{1.0, std::nextafter(1.0, 2.0)},
                                           std::pair{1.0, 1.0 + 0x1.0p-40}, std::pair{0.1, 0.3},
                                           std::pair{-3.0, -1.0}, std::pair{1e300, std::nextafter(1e300, kInf)},
                                           std::pair{0.0, 5e-324}));

TEST(Perturbation, DrawsMagnitudesInRangeWithFairSigns) {
    Matrix target = Matrix::zeros(100, 100);
    TrialStream rng = seeded(7);
    draw_perturbation(target, std::get<UniformRange>(UniformRange::create(0.5, 1.0)), rng);
    std::size_t negatives = 0, upper_half = 0;
    for (const double entry : target.data) {
        ASSERT_GE(std::fabs(entry), 0.5);
        ASSERT_LT(std::fabs(entry), 1.0);
        negatives += entry < 0;
        upper_half += std::fabs(entry) >= 0.75;
    }
    // 10,000 fair draws: a count outside 5000 +- 500 is ten standard deviations away.
    EXPECT_NEAR(static_cast<double>(negatives), 5000.0, 500.0);
    EXPECT_NEAR(static_cast<double>(upper_half), 5000.0, 500.0);
}

TEST(Perturbation, DrawsMagnitudeThenSignPerEntry) {
    Matrix target = Matrix::zeros(2, 3);
    const UniformRange range{2.0, 1.0};
    TrialStream drawing = seeded(11), replay = seeded(11);
    draw_perturbation(target, range, drawing);
    for (const double entry : target.data) {
        const double magnitude = range.sample(replay);
        EXPECT_EQ(entry, replay.next_coin() ? -magnitude : magnitude);
    }
}

}  // namespace
}  // namespace quarnel

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "core/exponential.hpp"
#include "core_test_support.hpp"

namespace quarnel {
namespace {

using namespace testing_support;

// Distance in representable doubles (adjacent doubles are 1 apart, across binades and zero).
std::int64_t ulps_between(double a, double b) {
    const auto ordered = [](double v) {
        const auto bits = std::bit_cast<std::int64_t>(v);
        return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
    };
    const std::int64_t d = ordered(a) - ordered(b);
    return d < 0 ? -d : d;
}

// The arguments the steps produce (<= 0 after the shift by the maximum, down to where exp
// underflows to 0, subnormal results included), densely, and positive ones more sparsely.
Vector sample_arguments() {
    Vector args;
    for (int i = 0; i <= 1 << 21; ++i) args.push_back(-745.2 * i / (1 << 21));
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> below_zero(-745.2, 0.0), above_zero(0.0, 709.78), decade(-300.0, 2.0);
    for (int i = 0; i < 1 << 18; ++i) {
        args.push_back(below_zero(gen));
        args.push_back(above_zero(gen));
        args.push_back(-std::pow(10.0, decade(gen)));
    }
    return args;
}

TEST(Exponential, WithinOneUlpOfTheCLibraryAndTheSameInVectorLanes) {
    const Vector args = sample_arguments();
    Vector lanes = args;
    exp_of_differences(lanes, 0.0);
    std::int64_t worst = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(lanes[i]), std::bit_cast<std::uint64_t>(exponential(args[i])))
            << args[i];
        worst = std::max(worst, ulps_between(lanes[i], std::exp(args[i])));
    }
    EXPECT_LE(worst, 1);
}

struct SpecialCase {
    double x, expected;
};

TEST(Exponential, EdgesOfTheDomain) {
    const double smallest = std::numeric_limits<double>::denorm_min();
    for (const auto& [x, expected] : {SpecialCase{0.0, 1.0}, {-0.0, 1.0}, {-kInf, 0.0}, {-746.0, 0.0},
                                      {-1e300, 0.0}, {-745.0, smallest}, {709.79, kInf},
                                      {kInf, kInf}, {-1e-300, 1.0}})
        EXPECT_EQ(exponential(x), expected) << x;
    EXPECT_TRUE(std::isnan(exponential(kNaN)));
}

// Every entry is exp(entry - shift) whatever its position among the vector lanes, the tail
// past the last whole block of lanes included.
TEST(Exponential, DifferencesMatchTheScalarAtEveryLengthAndPosition) {
    std::mt19937_64 gen(4);
    std::uniform_real_distribution<double> entry(-50.0, 50.0);
    for (std::size_t n = 0; n <= 19; ++n) {
        Vector v(n);
        for (double& e : v) e = entry(gen);
        Vector got = v;
        exp_of_differences(got, 7.5);
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(got[i], exponential(v[i] - 7.5)) << n << " " << i;
    }
}

}  // namespace
}  // namespace quarnel

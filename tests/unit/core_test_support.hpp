#pragma once
// Helpers shared by the core's unit tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>

#include "core/dense.hpp"
#include "core/optimizer.hpp"
#include "core/panic.hpp"

namespace quarnel::testing_support {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The message of the Panic that `action` throws, or "<no panic>".
inline std::string panic_message(const std::function<void()>& action) {
    try {
        action();
    } catch (const Panic& e) {
        return e.message();
    }
    return "<no panic>";
}

inline Matrix matrix(std::size_t rows, std::size_t cols, Vector entries) {
    return Matrix{rows, cols, std::move(entries)};
}

inline Matrix pennies() { return matrix(2, 2, {1.0, -1.0, -1.0, 1.0}); }

// Rule tags used by parameterised tests: 0 OGDA, 1 OMWU mirror descent, 2 OMWU FTRL.
inline Optimizer make_optimizer(int tag, double eta, std::uint64_t dim) {
    switch (tag) {
        case 0: return Optimizer::ogda(eta, dim);
        case 1: return Optimizer::omwuoomd(eta, dim);
        default: return Optimizer::omwuoftrl(eta, dim);
    }
}

inline std::string rule_name(int tag) { return tag == 0 ? "ogda" : tag == 1 ? "omwu_oomd" : "omwu_oftrl"; }

// The two vectors of whichever rule the optimizer holds.
inline std::pair<Vector, Vector> vectors_of(const Optimizer& optimizer) {
    return std::visit(
        [](const auto& rule) {
            const auto& [first, second, eta] = rule;
            return std::pair<Vector, Vector>{first, second};
        },
        optimizer.variant);
}

// A game with entries, and strategies projected from entries, drawn from [-1, 1).
inline GameState random_game(std::mt19937_64& gen, std::size_t rows, std::size_t cols) {
    std::uniform_real_distribution<double> entry(-1.0, 1.0);
    Matrix a = Matrix::zeros(rows, cols);
    for (double& e : a.data) e = entry(gen);
    Vector x(rows), y(cols);
    for (double& e : x) e = entry(gen);
    for (double& e : y) e = entry(gen);
    return GameState::from_parts(x, y, std::move(a));
}

// Names table-driven cases after their `name` member.
inline constexpr auto case_name = [](const auto& info) { return std::string(info.param.name); };

}  // namespace quarnel::testing_support

#pragma once
// Helpers shared by the core's unit tests.
#include <functional>
#include <limits>
#include <string>

#include "core/dense.hpp"
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

}  // namespace quarnel::testing_support

#pragma once
// Matrix norms, the magnitude distribution of perturbation entries, and perturbation drawing.
#include <optional>
#include <string_view>
#include <variant>

#include "core/dense.hpp"
#include "explore/random.hpp"

namespace quarnel {

enum class NormKind { Max = 0, Infinity = 1, Frobenius = 2 };

using NormFn = double (*)(const MatrixView&);

double max_norm(const MatrixView& m);
double infinity_norm(const MatrixView& m);
double frobenius_norm(const MatrixView& m);

// Indexed by NormKind.
inline constexpr NormFn kNormTable[3] = {max_norm, infinity_norm, frobenius_norm};
inline NormFn norm_function(NormKind kind) { return kNormTable[static_cast<int>(kind)]; }

// Case-insensitive match of "max", "infinity", "frobenius"; nullopt for anything else.
std::optional<NormKind> parse_norm_kind(std::string_view name);
inline constexpr const char* kUnknownNormMessage =
    "Unknown norm type. Use 'max', 'infinity', or 'frobenius'";

enum class RangeError { EmptyRange, NonFinite };
const char* range_error_name(RangeError error);  // "EmptyRange" / "NonFinite"

// Magnitudes low + scale * u, u uniform in [0, 1); never reaches `high` through rounding.
struct UniformRange {
    double low = 0.0;
    double scale = 0.0;

    static std::variant<UniformRange, RangeError> create(double low, double high);
    // Throws Panic naming the error when the range is empty or not finite.
    static UniformRange create_or_panic(double low, double high);
    double sample(TrialStream& stream) const;
};

// Overwrites every entry (memory order) with magnitude-then-sign draws from `stream`.
void draw_perturbation(Matrix& target, const UniformRange& range, TrialStream& stream);

}  // namespace quarnel

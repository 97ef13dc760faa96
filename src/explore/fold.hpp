#pragma once
// The NaN-skipping maximum of the explorations' folds.

namespace quarnel {

// fmax(so_far, value) for a fold that starts from a non-NaN value (so `so_far` is never NaN):
// NaN values are skipped and ties keep `so_far`, as the C library's fmax does. Written out, it
// is one instruction instead of a library call per entry, and no C library can change it.
inline double max_skipping_nan(double so_far, double value) { return value > so_far ? value : so_far; }

}  // namespace quarnel

#pragma once
// What every file of a kernel build shares. Each file here is compiled once per instruction set
// (cmake/instruction_sets.cmake) with that set's flags and QUARNEL_KERNELS naming the build's
// namespace, so nothing here may be defined outside that namespace except code that is always
// inlined: an out-of-line function compiled for one instruction set could otherwise be picked
// by the linker for every build (scripts/test.sh looks for such symbols).
#include <cstddef>
#include <cstdint>

#include "core/kernels.hpp"

#ifndef QUARNEL_KERNELS
#error "kernel sources are built once per instruction set, with QUARNEL_KERNELS naming the build"
#endif

namespace quarnel::QUARNEL_KERNELS {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// Doubles in one vector register of the build's instruction set.
#if defined(__AVX512F__)
inline constexpr std::size_t kWidth = 8;
#elif defined(__AVX__)
inline constexpr std::size_t kWidth = 4;
#else
inline constexpr std::size_t kWidth = 2;  // SSE2, NEON, or two doubles the compiler handles one by one
#endif

// One register of doubles, and of 64-bit integers. (GCC lets vectors alias their elements'
// type: arrays of doubles are read and written as registers.)
typedef double Doubles __attribute__((vector_size(kWidth * sizeof(double))));
typedef std::uint64_t Bits __attribute__((vector_size(kWidth * sizeof(double))));
typedef std::int64_t Keys __attribute__((vector_size(kWidth * sizeof(double))));

#pragma GCC diagnostic pop

void matrix_vector_products(const double* a, std::size_t m, std::size_t n, const double* x, const double* y,
                            double* grad_x, double* grad_y);
double total_order_min(const double* v, std::size_t length);
void exp_of_differences(double* v, std::size_t length, double shift);
double scaled_with_max(const double* a, const double* b, std::size_t n, double factor, double* out);
EntryFolds tilt_and_normalise(const double* e, const double* hat, std::size_t n, bool floor, double* out);
EntryFolds normalise(double* v, std::size_t n);
double sum_of(const double* v, std::size_t n);
double nan_ignoring_min(const double* v, std::size_t n);
Kernels::StepLanes lane_step(std::size_t rule, std::size_t rows, std::size_t cols);
Kernels::StretchLanes lane_stretch(std::size_t rule, std::size_t rows, std::size_t cols);
void add_entrywise(double* target, const double* addend, std::size_t length);

// Blocks a worker steps one after the other: enough that the processor has two or more
// independent steps to overlap.
inline constexpr std::size_t kLaneBlocks = 2;

extern const Kernels kernels;

}  // namespace quarnel::QUARNEL_KERNELS

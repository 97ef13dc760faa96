#include "core/exponential.hpp"

#include "core/kernels.hpp"

namespace quarnel {

void exp_of_differences(std::span<double> v, double shift) { kernels().exp_of_differences(v.data(), v.size(), shift); }

}  // namespace quarnel

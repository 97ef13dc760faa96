// The yardstick: the tightest plain loop of 2x2 OGDA steps that still records x, y and the
// duality gap at every step. No checks, no bookkeeping. Prints nanoseconds per step twice: for
// the whole run (allocating the histories, left uninitialised, and the loop that fills them)
// and for the loop alone, in processor time (as the benchmark's other figures).
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

static double cpu_ns() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return 1e9 * static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec);
}

static inline void project2(double v0, double v1, double& out0, double& out1) {
    const double hi = v0 > v1 ? v0 : v1;
    const double lo = v0 > v1 ? v1 : v0;
    double theta = hi - 1.0;
    const double t = (hi + lo - 1.0) / 2.0;
    if (lo > t) theta = t;
    out0 = std::max(v0 - theta, 0.0);
    out1 = std::max(v1 - theta, 0.0);
}

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: bare_limit STEPS ETA A00 A01 A10 A11\n");
        return 2;
    }
    const long steps = std::atol(argv[1]);
    const double eta = std::atof(argv[2]);
    const double a00 = std::atof(argv[3]), a01 = std::atof(argv[4]);
    const double a10 = std::atof(argv[5]), a11 = std::atof(argv[6]);
    const double start = cpu_ns();
    const std::unique_ptr<double[]> xs(new double[2 * steps]), ys(new double[2 * steps]), gaps(new double[steps]);
    const double loop_start = cpu_ns();
    double x0 = 0.5, x1 = 0.5, y0 = 0.5, y1 = 0.5;
    double xh0 = 0.5, xh1 = 0.5, yh0 = 0.5, yh1 = 0.5;
    for (long k = 0; k < steps; ++k) {
        xs[2 * k] = x0, xs[2 * k + 1] = x1;
        ys[2 * k] = y0, ys[2 * k + 1] = y1;
        const double gx0 = a00 * y0 + a01 * y1, gx1 = a10 * y0 + a11 * y1;
        const double gy0 = -(a00 * x0 + a10 * x1), gy1 = -(a01 * x0 + a11 * x1);
        gaps[k] = -std::min(gy0, gy1) - std::min(gx0, gx1);
        const double sx0 = eta * gx0, sx1 = eta * gx1, sy0 = eta * gy0, sy1 = eta * gy1;
        project2(xh0 - sx0, xh1 - sx1, xh0, xh1);
        project2(yh0 - sy0, yh1 - sy1, yh0, yh1);
        project2(xh0 - sx0, xh1 - sx1, x0, x1);
        project2(yh0 - sy0, yh1 - sy1, y0, y1);
    }
    const double stop = cpu_ns();

    double checksum = 0.0;
    for (long k = 0; k < steps; ++k) checksum += gaps[k] + xs[2 * k] + ys[2 * k + 1];
    const auto per_step = [steps](double span) { return span / static_cast<double>(steps); };
    std::printf("%.4f %.4f %.17g\n", per_step(stop - start), per_step(stop - loop_start), checksum);
    return 0;
}

// One step of optimistic multiplicative weights in online-mirror-descent form.
#include "core/kernels.hpp"
#include "core/optimizer.hpp"
#include "core/vector_ops.hpp"

namespace quarnel {

namespace {

// e <- exp(a - max(a)) with a = (-eta) * g.
[[gnu::always_inline]] inline void exponentiate(const Kernels& k, const Vector& g, double eta, Vector& e) {
    e.resize(g.size());
    const double shift = k.scaled_with_max(g.data(), nullptr, g.size(), -eta, e.data());
    k.exp_of_differences(e.data(), e.size(), shift);
}

// out <- normalise(e * hat + floor), `hat` stretching from length 1; returns the folds of out
// for its simplex check. The floor is a template argument so that the played strategy gets no
// addition at all.
template <bool kFloor>
[[gnu::always_inline]] inline EntryFolds tilt(const Kernels& k, const Vector& hat, const Vector& e, Vector& out) {
    const std::size_t n = e.size();
    const std::size_t sh = stride_for(hat, n);
    out.resize(n);
    if (sh == 1) return k.tilt_and_normalise(e.data(), hat.data(), n, kFloor, out.data());
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = e[i] * hat[i * sh];
        if constexpr (kFloor) out[i] += kMachineEpsilon;
    }
    normalise(out);
    return entry_folds(k, out);
}

}  // namespace

double OmwuOomd::step(GameState& game, StepWorkspace& ws) {
    ws.compute_gradients(game);
    require_stretchable_to(x_hat.size(), ws.grad_x.size(), "multiplication");
    require_stretchable_to(y_hat.size(), ws.grad_y.size(), "multiplication");

    const Kernels& k = kernels();
    exponentiate(k, ws.grad_x, eta, ws.work_x);
    exponentiate(k, ws.grad_y, eta, ws.work_y);
    const EntryFolds x_hat_folds = tilt<true>(k, x_hat, ws.work_x, ws.extra_x);
    const EntryFolds y_hat_folds = tilt<true>(k, y_hat, ws.work_y, ws.extra_y);
    const EntryFolds x_folds = tilt<false>(k, ws.extra_x, ws.work_x, ws.next_x);
    const EntryFolds y_folds = tilt<false>(k, ws.extra_y, ws.work_y, ws.next_y);

    install_checked(game.x, ws.next_x, x_folds, "x doesn't lie on the simplex");
    install_checked(game.y, ws.next_y, y_folds, "y doesn't lie on the simplex");
    install_checked(x_hat, ws.extra_x, x_hat_folds, "x_hat doesn't lie on the simplex");
    install_checked(y_hat, ws.extra_y, y_hat_folds, "y_hat doesn't lie on the simplex");
    return GameState::duality_gap(ws.grad_x, ws.grad_y);
}

}  // namespace quarnel

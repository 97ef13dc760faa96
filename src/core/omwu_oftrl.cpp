// One step of optimistic multiplicative weights in follow-the-regularized-leader form.
#include "core/kernels.hpp"
#include "core/optimizer.hpp"
#include "core/vector_ops.hpp"

namespace quarnel {

namespace {

// out <- a + b, either operand stretching from length 1; the lengths were checked.
[[gnu::always_inline]] inline void add_into(const Vector& a, const Vector& b, Vector& out) {
    const std::size_t n = broadcast_length(a.size(), b.size(), "addition");
    const std::size_t sa = stride_for(a, n);
    const std::size_t sb = stride_for(b, n);
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = a[i * sa] + b[i * sb];
}

// sum <- sum + g: in place, a register of entries at a time, when the lengths agree; else the
// new sum built aside (either operand stretching from length 1) and swapped in.
[[gnu::always_inline]] inline void accumulate(const Kernels& k, Vector& sum, const Vector& g, Vector& spare) {
    if (sum.size() == g.size()) {
        k.add_entrywise(sum.data(), g.data(), g.size());
        return;
    }
    add_into(sum, g, spare);
    std::swap(sum, spare);
}

// p <- softmax of -eta * (sum + g): the current gradient counts a second time as the
// prediction of the next one. Returns the folds of p for its simplex check.
[[gnu::always_inline]] inline EntryFolds softmax_of_prediction(const Kernels& k, const Vector& sum, const Vector& g, double eta,
                                                        Vector& p) {
    if (sum.size() == g.size()) {
        p.resize(g.size());
        const double shift = k.scaled_with_max(sum.data(), g.data(), g.size(), -eta, p.data());
        k.exp_of_differences(p.data(), p.size(), shift);
        return k.normalise(p.data(), p.size());
    }
    add_into(sum, g, p);
    const double factor = -eta;
    for (double& z : p) z *= factor;
    exp_shifted_in_place(p);
    normalise(p);
    return entry_folds(k, p);
}

}  // namespace

// The running sums advance before anything is checked, so a failed check leaves them
// advanced; a length mismatch is caught before either sum changes.
double OmwuOftrl::step(GameState& game, StepWorkspace& ws) {
    ws.compute_gradients(game);
    broadcast_length(sum_grad_x.size(), ws.grad_x.size(), "addition");
    broadcast_length(sum_grad_y.size(), ws.grad_y.size(), "addition");

    const Kernels& k = kernels();
    accumulate(k, sum_grad_x, ws.grad_x, ws.extra_x);
    accumulate(k, sum_grad_y, ws.grad_y, ws.extra_y);
    const EntryFolds x_folds = softmax_of_prediction(k, sum_grad_x, ws.grad_x, eta, ws.next_x);
    const EntryFolds y_folds = softmax_of_prediction(k, sum_grad_y, ws.grad_y, eta, ws.next_y);

    install_checked(game.x, ws.next_x, x_folds, "x doesn't lie on the simplex");
    install_checked(game.y, ws.next_y, y_folds, "y doesn't lie on the simplex");
    return GameState::duality_gap(ws.grad_x, ws.grad_y);
}

}  // namespace quarnel

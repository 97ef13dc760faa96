// One step of optimistic gradient descent-ascent on the simplex.
#include "core/optimizer.hpp"
#include "core/vector_ops.hpp"

namespace quarnel {

namespace {

// out <- projection of (from - eta * g), `from` or `g` stretching from length 1.
void descend_and_project(const Vector& from, const Vector& g, double eta, Vector& out,
                         ProjectionScratch& scratch) {
    const std::size_t n = broadcast_length(from.size(), g.size(), "subtraction");
    const std::size_t sf = stride_for(from, n);
    const std::size_t sg = stride_for(g, n);
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = from[i * sf] - eta * g[i * sg];
    simplex_projection_into(out, 1.0, out, scratch);
}

}  // namespace

// Order matters for the state a failure leaves: both new hats are formed before anything is
// installed, the game's x is replaced before y' is formed, the hats last.
double Ogda::step(GameState& game, StepWorkspace& ws) {
    ws.compute_gradients(game);
    descend_and_project(x_hat, ws.grad_x, eta, ws.extra_x, ws.projection_x);
    descend_and_project(y_hat, ws.grad_y, eta, ws.extra_y, ws.projection_y);
    descend_and_project(ws.extra_x, ws.grad_x, eta, ws.next_x, ws.projection_x);
    std::swap(game.x, ws.next_x);
    descend_and_project(ws.extra_y, ws.grad_y, eta, ws.next_y, ws.projection_y);
    std::swap(game.y, ws.next_y);
    std::swap(x_hat, ws.extra_x);
    std::swap(y_hat, ws.extra_y);
    return GameState::duality_gap(ws.grad_x, ws.grad_y);
}

}  // namespace quarnel

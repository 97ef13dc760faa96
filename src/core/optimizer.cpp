#include "core/optimizer.hpp"

#include <algorithm>

#include "core/panic.hpp"

namespace quarnel {

namespace {

Vector uniform_start(std::uint64_t dim) { return simplex_projection(zeros(dim), 1.0); }

// Refills `v` in place with the uniform point of its own length, which must pass the
// simplex check (it fails only for an empty vector).
void reset_to_uniform(Vector& v) {
    std::fill(v.begin(), v.end(), 1.0 / static_cast<double>(v.size()));
    if (!lies_on_simplex(v)) panic(simplex_failure_message(v));
}

}  // namespace

void StepWorkspace::compute_gradients(const GameState& game) {
    grad_x.resize(game.a.rows);
    grad_y.resize(game.a.cols);
    game.compute_gradient_into(grad_x, grad_y);
}

Ogda Ogda::create(double eta, std::uint64_t dim) {
    Vector x_hat = uniform_start(dim);
    Vector y_hat = uniform_start(dim);
    return Ogda{std::move(x_hat), std::move(y_hat), eta};
}

OmwuOomd OmwuOomd::create(double eta, std::uint64_t dim) {
    Vector x_hat = uniform_start(dim);
    Vector y_hat = uniform_start(dim);
    return OmwuOomd{std::move(x_hat), std::move(y_hat), eta};
}

OmwuOftrl OmwuOftrl::create(double eta, std::uint64_t dim) {
    Vector sum_grad_x = zeros(dim);
    Vector sum_grad_y = zeros(dim);
    return OmwuOftrl{std::move(sum_grad_x), std::move(sum_grad_y), eta};
}

// Each vector restarts at its own current length: after a step on a non-square game the two
// lengths differ, and one shared length would break the next run.
void Ogda::reset() {
    reset_to_uniform(x_hat);
    reset_to_uniform(y_hat);
}

void OmwuOomd::reset() {
    reset_to_uniform(x_hat);
    reset_to_uniform(y_hat);
}

void OmwuOftrl::reset() {
    std::fill(sum_grad_x.begin(), sum_grad_x.end(), 0.0);
    std::fill(sum_grad_y.begin(), sum_grad_y.end(), 0.0);
}

void Optimizer::reset() {
    std::visit([](auto& rule) { rule.reset(); }, variant);
}

double Optimizer::step(GameState& game, StepWorkspace& ws) {
    return std::visit([&](auto& rule) { return rule.step(game, ws); }, variant);
}

double Optimizer::step(GameState& game) {
    StepWorkspace ws;
    return step(game, ws);
}

}  // namespace quarnel

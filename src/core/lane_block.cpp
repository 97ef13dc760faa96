#include "core/lane_block.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <tuple>

#include "core/kernels.hpp"
#include "core/panic.hpp"

namespace quarnel {

namespace {

// The rule's two vectors and step size.
struct RuleVectors {
    template <typename Rule>
    std::tuple<const Vector*, const Vector*, double> operator()(const Rule& rule) const {
        const auto& [first, second, eta] = rule;
        return {&first, &second, eta};
    }
};

// Entries of a quantity whose registers start cache lines.
std::size_t padded_entries(std::size_t length, std::size_t width) {
    constexpr std::size_t kLine = 64 / sizeof(double);
    return (checked_product(length, width) + kLine - 1) / kLine * kLine;
}

}  // namespace

bool LaneBlock::accepts(std::size_t rows, std::size_t cols, const Optimizer& optimizer) {
    const auto [first, second, eta] = std::visit(RuleVectors{}, optimizer.variant);
    return rows > 0 && cols > 0 && first->size() == rows && second->size() == cols;
}

bool LaneBlock::accepts(const GameState& state, const Optimizer& optimizer) {
    return state.x.size() == state.a.rows && state.y.size() == state.a.cols &&
           accepts(state.a.rows, state.a.cols, optimizer);
}

namespace {

const LaneShapes& shapes_in_lanes(const Ogda&) { return kernels().ogda_lanes; }
const LaneShapes& shapes_in_lanes(const OmwuOomd&) { return kernels().mirror_descent_lanes; }
const LaneShapes& shapes_in_lanes(const OmwuOftrl&) { return kernels().ftrl_lanes; }

}  // namespace

bool LaneBlock::faster(std::size_t rows, std::size_t cols, const Optimizer& optimizer) {
    return std::visit([](const auto& rule) { return shapes_in_lanes(rule); }, optimizer.variant).holds(rows, cols);
}

LaneBlock::LaneBlock(const GameState& example, const Optimizer& optimizer)
    : rule_index_(optimizer.variant.index()), width_(kernels().lane_width), step_(kernels().lane_step(optimizer.variant.index(), example.a.rows, example.a.cols)),
      stretch_(kernels().lane_stretch(optimizer.variant.index(), example.a.rows, example.a.cols)) {
    if (!accepts(example, optimizer)) panic("these runs cannot be stepped in lanes");
    const std::size_t m = example.a.rows, n = example.a.cols;
    LaneArrays& s = arrays_;
    s.m = m, s.n = n;
    s.eta = std::get<2>(std::visit(RuleVectors{}, optimizer.variant));
    const std::pair<double**, std::size_t> quantities[] = {
        {&s.a, checked_product(m, n)}, {&s.x, m}, {&s.first, m}, {&s.grad_x, m}, {&s.work_x, m},
        {&s.next_x, m}, {&s.next_first, m}, {&s.y, n}, {&s.second, n}, {&s.grad_y, n}, {&s.work_y, n},
        {&s.next_y, n}, {&s.next_second, n}, {&s.sorted, std::bit_ceil(std::max(m, n))}, {&s.sums, std::bit_ceil(std::max(m, n))}};
    std::size_t total = 0;
    for (const auto& [pointer, length] : quantities) total += padded_entries(length, width_);
    storage_.resize(total);
    std::size_t offset = 0;
    for (const auto& [pointer, length] : quantities) {
        *pointer = storage_.data() + offset;
        offset += padded_entries(length, width_);
    }
    for (std::size_t lane = 0; lane < width_; ++lane) load(lane, example, optimizer);
}

namespace {

void put_lane(double* lanes, std::size_t width, std::size_t lane, std::span<const double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) lanes[i * width + lane] = values[i];
}

void take_lane(const double* lanes, std::size_t width, std::size_t lane, std::span<double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = lanes[i * width + lane];
}

}  // namespace

void LaneBlock::load(std::size_t lane, const GameState& state, const Optimizer& optimizer) {
    const auto [first, second, eta] = std::visit(RuleVectors{}, optimizer.variant);
    const bool same_step_size = std::bit_cast<std::uint64_t>(eta) == std::bit_cast<std::uint64_t>(arrays_.eta);
    if (optimizer.variant.index() != rule_index_ || !same_step_size || !accepts(state, optimizer) ||
        state.a.rows != arrays_.m || state.a.cols != arrays_.n || lane >= width_)
        panic("a run that does not fit the block's lanes");
    put_lane(arrays_.a, width_, lane, state.a.data);
    put_lane(arrays_.x, width_, lane, state.x);
    put_lane(arrays_.y, width_, lane, state.y);
    put_lane(arrays_.first, width_, lane, *first);
    put_lane(arrays_.second, width_, lane, *second);
}

void LaneBlock::store(std::size_t lane, GameState& state, Optimizer& optimizer) const {
    std::visit(
        [&](auto& rule) {
            auto& [first, second, eta] = rule;
            take_lane(arrays_.x, width_, lane, state.x);
            take_lane(arrays_.y, width_, lane, state.y);
            take_lane(arrays_.first, width_, lane, first);
            take_lane(arrays_.second, width_, lane, second);
        },
        optimizer.variant);
}

void LaneBlock::keep_row_totals(bool keep_last) {
    keep_last_ = keep_last;
    const std::size_t m = padded_entries(arrays_.m, width_), n = padded_entries(arrays_.n, width_);
    totals_.assign((m + n) * (keep_last ? 2 : 1), 0.0);
    arrays_.row_sum_x = totals_.data(), arrays_.row_sum_y = totals_.data() + m;
    if (keep_last) arrays_.last_x = totals_.data() + m + n, arrays_.last_y = totals_.data() + 2 * m + n;
}

void LaneBlock::start_totals(std::size_t lane) {
    for (std::size_t i = 0; i < arrays_.m; ++i) arrays_.row_sum_x[i * width_ + lane] = 0.0;
    for (std::size_t j = 0; j < arrays_.n; ++j) arrays_.row_sum_y[j * width_ + lane] = 0.0;
}

void LaneBlock::add_rows() {
    const std::size_t m = arrays_.m * width_, n = arrays_.n * width_;
    double* sum_x = arrays_.row_sum_x;
    double* sum_y = arrays_.row_sum_y;
    const double* x = arrays_.x;
    const double* y = arrays_.y;
    kernels().add_entrywise(sum_x, x, m);
    kernels().add_entrywise(sum_y, y, n);
    if (keep_last_) {
        std::copy(x, x + m, arrays_.last_x);
        std::copy(y, y + n, arrays_.last_y);
    }
}

void LaneBlock::take_totals(std::size_t lane, RowTotals& totals) const {
    const std::size_t m = arrays_.m, n = arrays_.n;
    totals.sum_x.resize(m), totals.sum_y.resize(n);
    take_lane(arrays_.row_sum_x, width_, lane, totals.sum_x);
    take_lane(arrays_.row_sum_y, width_, lane, totals.sum_y);
    if (!keep_last_ || !totals.keep_last) return;
    totals.last_x.resize(m), totals.last_y.resize(n);
    take_lane(arrays_.last_x, width_, lane, totals.last_x);
    take_lane(arrays_.last_y, width_, lane, totals.last_y);
}

LaneStep LaneBlock::step(double* gaps) { return step_(arrays_, rule_index_, gaps); }

std::size_t LaneBlock::stretch(std::span<LaneBlock> blocks, std::size_t steps, double* const* gap_rows) {
    constexpr std::size_t kMostBlocks = 8;
    LaneArrays* arrays[kMostBlocks];
    if (blocks.size() != kernels().lane_blocks || blocks.size() > kMostBlocks)
        panic("a stretch takes the build's blocks");
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        if (blocks[b].stretch_ != blocks[0].stretch_ || blocks[b].stretch_ == nullptr)
            panic("blocks that do not stretch together");
        arrays[b] = &blocks[b].arrays_;
    }
    return blocks[0].stretch_(arrays, steps, gap_rows);
}

}  // namespace quarnel

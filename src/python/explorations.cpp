// The three exploration functions and the classes holding the scattered and concentric results.
#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "explore/batch.hpp"
#include "explore/metrics.hpp"
#include "explore/neighborhood.hpp"
#include "explore/norms.hpp"
#include "explore/orchestrator.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/explorations.hpp"
#include "python/memory.hpp"
#include "python/types.hpp"

namespace quarnel::python {
namespace {

constexpr double kDefaultCutoff = 0.1;

constexpr const char* kScatteredParameters[] = {
    "a_delta", "optimizer", "num_exploration", "num_steps", "inner_radius", "outer_radius",
    "norm_str", "metric_method", "cutoff"};
constexpr const char* kConcentricParameters[] = {
    "a_delta", "optimizer", "num_exploration", "num_steps", "inner_radius", "outer_radius",
    "num_slices", "metric_method", "cutoff"};
constexpr const char* kNeighborhoodParameters[] = {"matrices", "optimizer", "num_steps", "normalize_matrix"};
constexpr Signature kScattered{"scattered_exploration", kScatteredParameters, 8};
constexpr Signature kConcentric{"concentric_exploration", kConcentricParameters, 8};
constexpr Signature kNeighborhood{"neighborhood_exploration", kNeighborhoodParameters, 4};

// The arguments the two radius-based explorations share (all but their own, `own_name`).
struct RadialArguments {
    ArrayCopy<Matrix> a_delta;
    Optimizer optimizer;
    std::uint64_t num_exploration = 0;
    std::uint64_t num_steps = 0;
    double inner_radius = 0.0;
    double outer_radius = 0.0;
    std::string_view metric_method;
    double cutoff = kDefaultCutoff;
};

// Converts all nine arguments in the order of the signature; the exploration's own one
// (norm_str or num_slices) goes to `own`.
template <typename T, typename Converter>
bool convert_radial(const BoundArguments& bound, RadialArguments& out, const char* own_name, T& own,
                    Converter convert_own) {
    return bound.convert("a_delta", out.a_delta, to_matrix_copy) &&
           bound.convert("optimizer", out.optimizer, to_optimizer_copy) &&
           bound.convert("num_exploration", out.num_exploration, to_count) &&
           bound.convert("num_steps", out.num_steps, to_count) &&
           bound.convert("inner_radius", out.inner_radius, to_double) &&
           bound.convert("outer_radius", out.outer_radius, to_double) && bound.convert(own_name, own, convert_own) &&
           bound.convert("metric_method", out.metric_method, to_text) && bound.convert("cutoff", out.cutoff, to_double);
}

// The exploration parameters, or nothing with ValueError set for an unknown metric method.
std::optional<ExplorationParams> exploration_params(const RadialArguments& args) {
    std::optional<MetricMethod> metric = parse_metric_method(args.metric_method, args.cutoff);
    if (!metric) {
        const std::string message = "Unknown metric method: " + std::string(args.metric_method);
        // Sized, so that a name holding a NUL character is reported whole.
        Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        if (text) PyErr_SetObject(PyExc_ValueError, text.get());
        return std::nullopt;
    }
    return ExplorationParams{*metric, args.num_exploration, args.num_steps, args.inner_radius, args.outer_radius};
}

std::size_t matrix_bytes(std::size_t rows, std::size_t cols) {
    return checked_product(checked_product(rows, cols), sizeof(double));
}

// A batch of n trials: its results, and on every busy worker a copy of the base matrix and the
// gap history of the running trial.
MemoryNeed& add_batch(MemoryNeed& need, const ArrayCopy<Matrix>& base, std::uint64_t n, std::uint64_t num_steps) {
    const std::size_t workers = concurrent_workers(n);
    if (workers > 0 && base.too_large) throw std::bad_alloc();  // nor would the workers' copies fit
    return add_busy_workers(need.add(n, sizeof(RandomGameResult)), workers, base.values.rows, base.values.cols,
                            num_steps);
}

void require_scattered_memory(const RadialArguments& args) {
    MemoryNeed need;
    add_batch(need, args.a_delta, args.num_exploration, args.num_steps)
        .add(args.num_exploration, 2 * sizeof(double))  // the norms and metrics handed out
        .require();
}

// The slices' boundaries and metrics, in the core and as arrays, and one batch at a time.
void require_concentric_memory(const RadialArguments& args, std::uint64_t num_slices) {
    if (num_slices == 0) return;  // refused by the exploration itself
    const std::uint64_t per_slice = args.num_exploration / num_slices;
    MemoryNeed need;
    add_batch(need, args.a_delta, per_slice, args.num_steps)
        .add(num_slices, sizeof(std::pair<double, double>) + sizeof(Vector) + 2 * sizeof(double))
        .add(num_slices * per_slice, 2 * sizeof(double))
        .require();
}

// Every run's histories (2 x 2 games: x, y and the gap, 5 values per step) and its GameResult
// object, and on every busy worker a copy of its matrix.
void require_neighborhood_memory(const ArrayCopy<OwnedStack>& stack, std::uint64_t num_steps) {
    if (stack.too_large) throw std::bad_alloc();
    const OwnedStack& matrices = stack.values;
    constexpr std::size_t kPerResult = sizeof(GameResult) + sizeof(Wrapper<GameResult>) + sizeof(PyObject*);
    MemoryNeed()
        .add(matrices.count, kPerResult)
        .add(matrices.count, checked_product(num_steps, 5 * sizeof(double)))
        .add(concurrent_workers(matrices.count), matrix_bytes(matrices.rows, matrices.cols))
        .require();
}

PyObject* scattered_exploration(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(kScattered);
        RadialArguments radial;
        std::string_view norm_str;
        if (!bound.bind(args, nargs, kwnames) || !convert_radial(bound, radial, "norm_str", norm_str, to_text)) return nullptr;
        std::optional<ExplorationParams> params = exploration_params(radial);
        if (!params) return nullptr;
        std::optional<NormKind> norm = parse_norm_kind(norm_str);
        if (!norm) {
            PyErr_SetString(PyExc_ValueError, kUnknownNormMessage);
            return nullptr;
        }
        require_scattered_memory(radial);
        const MatrixView base = MatrixView::of(radial.a_delta.values);
        ScatteredOutput output = ScatteredOutput::create(base, radial.optimizer, *params, *norm);
        ScatteredPayload payload;
        payload.norms = Ref::steal(move_to_array(std::move(output.norms)));
        if (!payload.norms) return nullptr;
        payload.metrics = Ref::steal(move_to_array(std::move(output.metrics)));
        if (!payload.metrics) return nullptr;
        return wrap(std::move(payload));
    });
}

// A new (rows.size(), columns) array whose row i copies rows[i].
template <typename Row, typename Copy>
PyObject* rows_to_array(const std::vector<Row>& rows, std::size_t columns, Copy copy_row) {
    const std::size_t shape[] = {rows.size(), columns};
    PyObject* array = new_array(shape);
    if (array == nullptr) return nullptr;
    double* out = array_data(array);
    for (const Row& row : rows) {
        copy_row(row, out);
        out += columns;
    }
    return array;
}

PyObject* concentric_exploration(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(kConcentric);
        RadialArguments radial;
        std::uint64_t num_slices = 0;
        if (!bound.bind(args, nargs, kwnames) || !convert_radial(bound, radial, "num_slices", num_slices, to_count)) {
            return nullptr;
        }
        std::optional<ExplorationParams> params = exploration_params(radial);
        if (!params) return nullptr;
        require_concentric_memory(radial, num_slices);
        const MatrixView base = MatrixView::of(radial.a_delta.values);
        ConcentricOutput output = ConcentricOutput::create(base, radial.optimizer, *params, num_slices);
        const std::size_t per_slice = output.metrics.empty() ? 0 : output.metrics.front().size();
        ConcentricPayload payload;
        auto copy_bounds = [](const std::pair<double, double>& bounds, double* out) {
            out[0] = bounds.first;
            out[1] = bounds.second;
        };
        payload.slice_boundaries = Ref::steal(rows_to_array(output.slice_boundaries, 2, copy_bounds));
        if (!payload.slice_boundaries) return nullptr;
        auto copy_row = [](const Vector& row, double* out) { std::copy(row.begin(), row.end(), out); };
        payload.metrics = Ref::steal(rows_to_array(output.metrics, per_slice, copy_row));
        if (!payload.metrics) return nullptr;
        return wrap(std::move(payload));
    });
}

// A new list holding one new GameResult object per result, in order.
PyObject* results_to_list(std::vector<GameResult>&& results) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyObject* item = wrap(std::move(results[i]));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* neighborhood_exploration(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(kNeighborhood);
        ArrayCopy<OwnedStack> matrices;
        Optimizer optimizer;
        std::uint64_t num_steps = 0;
        bool normalize_matrix = false;
        if (!bound.bind(args, nargs, kwnames) || !bound.convert("matrices", matrices, to_stack_copy) ||
            !bound.convert("optimizer", optimizer, to_optimizer_copy) || !bound.convert("num_steps", num_steps, to_count) ||
            !bound.convert("normalize_matrix", normalize_matrix, to_flag)) {
            return nullptr;
        }
        require_neighborhood_memory(matrices, num_steps);
        return results_to_list(
            quarnel::neighborhood_exploration(matrices.values.view(), optimizer, num_steps, normalize_matrix));
    });
}

template <typename Payload, Ref Payload::*member>
PyObject* get_stored(PyObject* self, void*) {
    SharedBorrow borrow(self);
    return borrow.held() ? Ref::borrow((unwrap<Payload>(self)->value.*member).get()).release() : nullptr;
}

PyGetSetDef scattered_getters[] = {
    {"norms", get_stored<ScatteredPayload, &ScatteredPayload::norms>, nullptr, "", nullptr},
    {"metrics", get_stored<ScatteredPayload, &ScatteredPayload::metrics>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef concentric_getters[] = {
    {"slice_boundaries", get_stored<ConcentricPayload, &ConcentricPayload::slice_boundaries>, nullptr, "", nullptr},
    {"metrics", get_stored<ConcentricPayload, &ConcentricPayload::metrics>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef scattered_exploration_def = {
    "scattered_exploration", as_method(scattered_exploration), kFastcall,
    "scattered_exploration(a_delta, optimizer, num_exploration, num_steps, inner_radius, outer_radius, "
    "norm_str, metric_method, cutoff=0.1)\n--\n\n"};

PyMethodDef concentric_exploration_def = {
    "concentric_exploration", as_method(concentric_exploration), kFastcall,
    "concentric_exploration(a_delta, optimizer, num_exploration, num_steps, inner_radius, outer_radius, "
    "num_slices, metric_method, cutoff=0.1)\n--\n\n"};

PyMethodDef neighborhood_exploration_def = {
    "neighborhood_exploration", as_method(neighborhood_exploration), kFastcall,
    "neighborhood_exploration(matrices, optimizer, num_steps, normalize_matrix)\n--\n\n"};

template <>
PyTypeObject* class_of<ScatteredPayload>() {
    return cached_class<ScatteredPayload>({.name = "PyScatteredOutput", .getters = scattered_getters});
}

template <>
PyTypeObject* class_of<ConcentricPayload>() {
    return cached_class<ConcentricPayload>({.name = "PyConcentricOutput", .getters = concentric_getters});
}

}  // namespace quarnel::python

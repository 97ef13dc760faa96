// The Experiment class, which runs an Optimizer object on a GameState object in place, and the
// GameResult class holding a run's histories.
#include "core/run.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/memory.hpp"
#include "python/types.hpp"

namespace quarnel::python {
namespace {

constexpr const char* kParameters[] = {"state", "optimizer", "num_steps"};
constexpr Signature kSignature{"Experiment.__new__", kParameters, 3};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(kSignature);
        ExperimentPayload payload;
        if (!bound.bind(args, kwargs) || !bound.convert("state", payload.state, to_instance<GameState>) ||
            !bound.convert("optimizer", payload.optimizer, to_instance<Optimizer>) ||
            !bound.convert("num_steps", payload.num_steps, to_count)) {
            return nullptr;
        }
        return wrap_as(type, std::move(payload));
    });
}

PyObject* run_in_place(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow experiment_borrow(self);
        if (!experiment_borrow.held()) return nullptr;
        const ExperimentPayload& experiment = unwrap<ExperimentPayload>(self)->value;
        // Declared in this order so that they are released in the reverse one.
        ExclusiveBorrow state_borrow(experiment.state.get());
        if (!state_borrow.held()) return nullptr;
        ExclusiveBorrow optimizer_borrow(experiment.optimizer.get());
        if (!optimizer_borrow.held()) return nullptr;
        GameState& state = unwrap<GameState>(experiment.state.get())->value;
        // The three histories: a row of x, a row of y and a gap per step.
        MemoryNeed().add(experiment.num_steps, checked_product(state.x.size() + state.y.size() + 1, sizeof(double)))
            .require();
        GameResult result = Experiment{experiment.num_steps}.run_experiment_until_convergence(
            state, unwrap<Optimizer>(experiment.optimizer.get())->value);
        return wrap(std::move(result));
    });
}

PyMethodDef methods[] = {
    {"run_experiment_until_convergence_in_place", run_in_place, METH_NOARGS,
     "run_experiment_until_convergence_in_place($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const Vector& values_of(const Vector& history) { return history; }
const Vector& values_of(const Matrix& history) { return history.data; }

template <auto member>
PyObject* get_history(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(self);
        if (!borrow.held()) return nullptr;
        const auto& history = unwrap<GameResult>(self)->value.*member;
        MemoryNeed().add(values_of(history).size(), sizeof(double)).require();
        return copy_to_array(history);
    });
}

PyGetSetDef result_getters[] = {
    {"x_history", get_history<&GameResult::x_history>, nullptr, "", nullptr},
    {"y_history", get_history<&GameResult::y_history>, nullptr, "", nullptr},
    {"gaps_history", get_history<&GameResult::gaps_history>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

template <>
PyTypeObject* class_of<ExperimentPayload>() {
    return cached_class<ExperimentPayload>({.name = "Experiment",
                                            .constructor = construct,
                                            .doc = "Experiment(state, optimizer, num_steps)\n--\n\n",
                                            .methods = methods});
}

template <>
PyTypeObject* class_of<GameResult>() {
    return cached_class<GameResult>({.name = "GameResult", .getters = result_getters});
}

}  // namespace quarnel::python

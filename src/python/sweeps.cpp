// Reproducible sweeps for the Python layer above the module: trials [first, first + count) of
// a keyed sweep, runs of a stack of matrices, one trial's perturbation, single runs kept to the
// steps they ran, optimizers built with given vectors, and the pool's facts.
// Unlike the public functions, the runs release the interpreter lock: every input is copied
// at conversion, before any later Python code (converters, signal handlers) can run.
#include <cxxabi.h>

#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>

#include "core/game.hpp"
#include "core/instruction_sets.hpp"
#include "core/run.hpp"
#include "explore/batch.hpp"
#include "explore/pool.hpp"
#include "python/args.hpp"
#include "python/build_id.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/memory.hpp"
#include "python/numpy_api.hpp"
#include "python/sweeps.hpp"

namespace quarnel::python {
namespace {

constexpr const char* kSweepParameters[] = {"a", "optimizer", "key", "first", "count", "num_steps", "low",
                                            "high", "cutoff", "workers", "x0", "y0", "tolerances", "last"};
constexpr const char* kRunStackParameters[] = {"matrices", "optimizer", "num_steps", "normalize", "cutoff",
                                               "workers", "x0", "y0", "tolerances", "last"};
constexpr const char* kPerturbationParameters[] = {"key", "index", "rows", "cols", "low", "high"};
constexpr const char* kRunParameters[] = {"a", "optimizer", "num_steps", "x0", "y0"};
constexpr const char* kWithVectorsParameters[] = {"optimizer", "first", "second"};
constexpr Signature kSweep{"_sweep", kSweepParameters, 10};
constexpr Signature kRunStack{"_run_stack", kRunStackParameters, 6};
constexpr Signature kPerturbation{"_perturbation", kPerturbationParameters, 6};
constexpr Signature kRun{"_run", kRunParameters, 3};
constexpr Signature kWithVectors{"_with_vectors", kWithVectorsParameters, 3};
constexpr const char* kTrialsTogetherParameters[] = {"rows", "cols", "optimizer", "num_steps", "cutoff"};
constexpr Signature kTrialsTogether{"_trials_together", kTrialsTogetherParameters, 5};

// The calling thread's state while it runs without the interpreter lock, and when its stop
// check last ran the signal handlers.
thread_local PyThreadState* t_released_state = nullptr;
thread_local std::chrono::steady_clock::time_point t_last_signal_poll;

constexpr auto kSignalPollInterval = std::chrono::milliseconds(20);

// The stop check of a thread running without the interpreter lock: at most every poll
// interval it takes the lock back, runs the interpreter's signal handlers and asks to stop
// when one raised (the exception stays set for the caller).
bool signal_handler_raised_unlocked() {
    const auto now = std::chrono::steady_clock::now();
    if (now - t_last_signal_poll < kSignalPollInterval) return false;
    t_last_signal_poll = now;
    PyEval_RestoreThread(t_released_state);
    const bool raised = PyErr_CheckSignals() != 0;
    t_released_state = PyEval_SaveThread();
    return raised;
}

// Runs `work` without the interpreter lock, interruptible by signal handlers. The state is
// the same object however calls nest (a handler may start one), so one slot per thread does.
template <typename Work>
void run_without_interpreter_lock(Work&& work) {
    const StopCheckScope stop_on_signal(signal_handler_raised_unlocked);
    t_last_signal_poll = std::chrono::steady_clock::now();
    t_released_state = PyEval_SaveThread();
    try {
        std::forward<Work>(work)();
    } catch (abi::__forced_unwind&) {
        throw;  // the finalising interpreter ends this thread: it must not take the lock again
    } catch (...) {
        PyEval_RestoreThread(t_released_state);
        throw;
    }
    PyEval_RestoreThread(t_released_state);
}

// ---- conversions ----

bool to_key(PyObject* value, SweepKey& out) {
    if (!PyBytes_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not bytes", Py_TYPE(value)->tp_name);
        return false;
    }
    unsigned char bytes[16];
    if (PyBytes_GET_SIZE(value) != sizeof bytes) {
        PyErr_Format(PyExc_ValueError, "argument 'key': expected 16 bytes, got %zd", PyBytes_GET_SIZE(value));
        return false;
    }
    std::memcpy(bytes, PyBytes_AS_STRING(value), sizeof bytes);
    out = SweepKey::from_bytes(bytes);
    return true;
}

// A 1-D float64 array copied, or None for "not given" (left empty).
bool to_optional_vector(PyObject* value, std::optional<Vector>& out) {
    if (value == Py_None) return true;
    VectorView view;
    if (!to_vector_view(value, view)) return false;
    out = view.copy();
    return true;
}

// The start point of a call's x0 and y0 into `out`, uniform where one is not given; left empty
// when neither is. Each must have its player's number of actions (else false, ValueError set);
// the entries are used as they are.
bool to_start_point(std::optional<Vector>& x0, std::optional<Vector>& y0, std::size_t rows, std::size_t cols,
                    std::optional<StartPoint>& out) {
    if (!x0 && !y0) return true;
    const std::pair<std::optional<Vector>*, std::size_t> players[] = {{&x0, rows}, {&y0, cols}};
    const char* names[] = {"x0", "y0"};
    StartPoint start;
    Vector* targets[] = {&start.x, &start.y};
    for (std::size_t p = 0; p < 2; ++p) {
        auto& [given, length] = players[p];
        if (!*given) {
            targets[p]->assign(length, 1.0 / static_cast<double>(length));
        } else if ((*given)->size() != length) {
            PyErr_Format(PyExc_ValueError, "argument '%s': %zu entries for %zu actions", names[p], (*given)->size(),
                         length);
            return false;
        } else {
            *targets[p] = std::move(**given);
        }
    }
    out = std::move(start);
    return true;
}

// ---- results as columns ----

// The sweep layer's columns of one value per trial, in its order.
struct FloatColumn {
    const char* name;
    double (*value)(const TrialSummary&);
};
struct CountColumn {
    const char* name;
    std::int64_t (*value)(const TrialSummary&);
};
constexpr FloatColumn kFloatColumns[] = {
    {"norm_max", [](const TrialSummary& t) { return t.norms[static_cast<int>(NormKind::Max)]; }},
    {"norm_infinity", [](const TrialSummary& t) { return t.norms[static_cast<int>(NormKind::Infinity)]; }},
    {"norm_frobenius", [](const TrialSummary& t) { return t.norms[static_cast<int>(NormKind::Frobenius)]; }},
    {"max_last", [](const TrialSummary& t) { return t.gaps.max_last; }},
    {"var_last", [](const TrialSummary& t) { return t.gaps.var_last; }},
    {"total_var", [](const TrialSummary& t) { return t.gaps.total_var; }},
    {"last_gap", [](const TrialSummary& t) { return t.gaps.last_gap; }},
    {"best_gap", [](const TrialSummary& t) { return t.gaps.best_gap; }},
    {"avg_gap", [](const TrialSummary& t) { return t.avg_gap; }},
    {"rate", [](const TrialSummary& t) { return t.gaps.rate; }},
};
constexpr CountColumn kCountColumns[] = {
    {"steps", [](const TrialSummary& t) { return static_cast<std::int64_t>(t.gaps.steps); }},
    {"best_step", [](const TrialSummary& t) { return t.gaps.best_step; }},
};
constexpr std::size_t kFloatColumnCount = std::size(kFloatColumns);
constexpr std::size_t kCountColumnCount = std::size(kCountColumns);

// A new array of the given shape and type, contents left to the caller.
Ref new_array(int type, std::size_t count, std::size_t width = 0, bool two_dimensional = false) {
    npy_intp shape[2] = {static_cast<npy_intp>(count), static_cast<npy_intp>(width)};
    return Ref::steal(PyArray_SimpleNew(two_dimensional ? 2 : 1, shape, type));
}

template <typename Value>
Value* column_data(const Ref& array) {
    return static_cast<Value*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// What a batch reports beyond the one-value columns: hitting times of `tolerances` tolerances
// and, when `last`, every trial's last row of a rows x cols game.
struct ExtraColumns {
    std::size_t tolerances = 0;
    bool last = false;
    std::size_t rows = 0, cols = 0;
};

// The sweep layer's columns of a batch, filled by the workers as trials finish (the arrays
// reach no Python code before the batch is over).
class SummaryColumns {
public:
    // False with an exception set when an array cannot be made.
    bool create(std::size_t count, const ExtraColumns& extra) {
        extra_ = extra;
        for (std::size_t c = 0; c < kFloatColumnCount; ++c) {
            floats_[c] = new_array(NPY_FLOAT64, count);
            if (!floats_[c]) return false;
            float_data_[c] = column_data<double>(floats_[c]);
        }
        for (std::size_t c = 0; c < kCountColumnCount; ++c) {
            counts_[c] = new_array(NPY_INT64, count);
            if (!counts_[c]) return false;
            count_data_[c] = column_data<std::int64_t>(counts_[c]);
        }
        steps_below_ = new_array(NPY_INT64, count, extra.tolerances, true);
        if (!steps_below_) return false;
        if (extra.last) {
            last_x_ = new_array(NPY_FLOAT64, count, extra.rows, true);
            last_y_ = new_array(NPY_FLOAT64, count, extra.cols, true);
            if (!last_x_ || !last_y_) return false;
        }
        return true;
    }

    void store(std::size_t k, const TrialSummary& trial) {
        for (std::size_t c = 0; c < kFloatColumnCount; ++c) float_data_[c][k] = kFloatColumns[c].value(trial);
        for (std::size_t c = 0; c < kCountColumnCount; ++c) count_data_[c][k] = kCountColumns[c].value(trial);
        std::int64_t* hitting = column_data<std::int64_t>(steps_below_) + k * extra_.tolerances;
        for (std::size_t j = 0; j < extra_.tolerances; ++j) hitting[j] = static_cast<std::int64_t>(trial.steps_below[j]);
        if (!extra_.last) return;
        std::copy(trial.last_x.begin(), trial.last_x.end(), column_data<double>(last_x_) + k * extra_.rows);
        std::copy(trial.last_y.begin(), trial.last_y.end(), column_data<double>(last_y_) + k * extra_.cols);
    }

    // {column name: array}, in the column order of the sweep layer, then "steps_below" (trials x
    // tolerances) and, when asked, "last_x" and "last_y" (trials x actions).
    PyObject* to_dict() const {
        Ref columns = Ref::steal(PyDict_New());
        if (!columns) return nullptr;
        for (std::size_t c = 0; c < kFloatColumnCount; ++c) {
            if (PyDict_SetItemString(columns.get(), kFloatColumns[c].name, floats_[c].get()) < 0) return nullptr;
        }
        for (std::size_t c = 0; c < kCountColumnCount; ++c) {
            if (PyDict_SetItemString(columns.get(), kCountColumns[c].name, counts_[c].get()) < 0) return nullptr;
        }
        if (PyDict_SetItemString(columns.get(), "steps_below", steps_below_.get()) < 0) return nullptr;
        if (extra_.last && (PyDict_SetItemString(columns.get(), "last_x", last_x_.get()) < 0 ||
                            PyDict_SetItemString(columns.get(), "last_y", last_y_.get()) < 0))
            return nullptr;
        return columns.release();
    }

private:
    ExtraColumns extra_;
    Ref floats_[kFloatColumnCount];
    double* float_data_[kFloatColumnCount] = {};
    Ref counts_[kCountColumnCount];
    std::int64_t* count_data_[kCountColumnCount] = {};
    Ref steps_below_, last_x_, last_y_;
};

// Runs the trials on the worker pool without the interpreter lock, straight into columns.
PyObject* run_to_columns(const BatchPlan& plan, const FullSummary& reduction, std::size_t rows, std::size_t cols,
                         std::uint64_t first, std::uint64_t count, std::uint64_t workers) {
    SummaryColumns columns;
    if (!columns.create(count, {reduction.tolerances.size(), reduction.keep_last, rows, cols})) return nullptr;
    run_without_interpreter_lock([&] {
        run_trials(plan, reduction, first, count, workers,
                   [&](std::size_t k, const TrialSummary& trial) { columns.store(k, trial); });
    });
    return columns.to_dict();
}

// The columns handed out and, on every busy worker, a trial's matrix and gaps.
void require_trials_memory(std::size_t rows, std::size_t cols, std::uint64_t count, std::uint64_t num_steps,
                           std::uint64_t workers, const FullSummary& reduction) {
    std::size_t values = kFloatColumnCount + kCountColumnCount + reduction.tolerances.size();
    if (reduction.keep_last) values += rows + cols;
    std::size_t busy = concurrent_workers(count);
    if (workers != 0) busy = std::min<std::uint64_t>(busy, workers);
    MemoryNeed need;
    add_busy_workers(need.add(count, checked_product(values, sizeof(double))), busy, rows, cols, num_steps).require();
}

// The tolerances argument: a 1-D float64 array (or None: none).
bool to_tolerances(PyObject* value, Tolerances& out) {
    std::optional<Vector> values;
    if (!to_optional_vector(value, values)) return false;
    if (values) out = Tolerances(std::move(*values));
    return true;
}

// ---- entry points ----

PyObject* sweep(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(kSweep);
        ArrayCopy<Matrix> base;
        Optimizer optimizer;
        SweepKey key;
        std::uint64_t first = 0, count = 0, num_steps = 0, workers = 0;
        double low = 0.0, high = 0.0;
        FullSummary reduction{0.0};
        std::optional<Vector> x0, y0;
        if (!bound.bind(args, nargs, kwnames) || !bound.convert("a", base, to_matrix_copy) ||
            !bound.convert("optimizer", optimizer, to_optimizer_copy) || !bound.convert("key", key, to_key) ||
            !bound.convert("first", first, to_count) || !bound.convert("count", count, to_count) ||
            !bound.convert("num_steps", num_steps, to_count) || !bound.convert("low", low, to_double) ||
            !bound.convert("high", high, to_double) || !bound.convert("cutoff", reduction.cutoff, to_double) ||
            !bound.convert("workers", workers, to_count) || !bound.convert("x0", x0, to_optional_vector) ||
            !bound.convert("y0", y0, to_optional_vector) ||
            !bound.convert("tolerances", reduction.tolerances, to_tolerances) ||
            !bound.convert("last", reduction.keep_last, to_flag)) {
            return nullptr;
        }
        if (count > UINT64_MAX - first) {
            PyErr_SetString(PyExc_OverflowError, "trial indices first + count exceed 2**64");
            return nullptr;
        }
        const UniformRange range = UniformRange::create_or_panic(low, high);
        if (base.too_large && count > 0) throw std::bad_alloc();  // a base too large to copy cannot be run
        const std::size_t rows = base.values.rows, cols = base.values.cols;
        require_trials_memory(rows, cols, count, num_steps, workers, reduction);
        std::optional<StartPoint> start;
        if (!to_start_point(x0, y0, rows, cols, start)) return nullptr;
        const BatchPlan plan{PerturbedBase{MatrixView::of(base.values), range, key}, &optimizer, num_steps,
                             start ? &*start : nullptr};
        return run_to_columns(plan, reduction, rows, cols, first, count, workers);
    });
}

PyObject* run_stack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(kRunStack);
        ArrayCopy<OwnedStack> stack;
        Optimizer optimizer;
        std::uint64_t num_steps = 0, workers = 0;
        bool normalize = false;
        FullSummary reduction{0.0};
        std::optional<Vector> x0, y0;
        if (!bound.bind(args, nargs, kwnames) || !bound.convert("matrices", stack, to_stack_copy) ||
            !bound.convert("optimizer", optimizer, to_optimizer_copy) ||
            !bound.convert("num_steps", num_steps, to_count) || !bound.convert("normalize", normalize, to_flag) ||
            !bound.convert("cutoff", reduction.cutoff, to_double) || !bound.convert("workers", workers, to_count) ||
            !bound.convert("x0", x0, to_optional_vector) || !bound.convert("y0", y0, to_optional_vector) ||
            !bound.convert("tolerances", reduction.tolerances, to_tolerances) ||
            !bound.convert("last", reduction.keep_last, to_flag)) {
            return nullptr;
        }
        if (stack.too_large) throw std::bad_alloc();
        const StackView matrices = stack.values.view();
        require_trials_memory(matrices.rows, matrices.cols, matrices.count, num_steps, workers, reduction);
        std::optional<StartPoint> start;
        if (!to_start_point(x0, y0, matrices.rows, matrices.cols, start)) return nullptr;
        const BatchPlan plan{StackOfMatrices{matrices, normalize}, &optimizer, num_steps, start ? &*start : nullptr};
        return run_to_columns(plan, reduction, matrices.rows, matrices.cols, 0, matrices.count, workers);
    });
}

PyObject* perturbation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(kPerturbation);
        SweepKey key;
        std::uint64_t index = 0, rows = 0, cols = 0;
        double low = 0.0, high = 0.0;
        if (!bound.bind(args, nargs, kwnames) || !bound.convert("key", key, to_key) ||
            !bound.convert("index", index, to_count) || !bound.convert("rows", rows, to_count) ||
            !bound.convert("cols", cols, to_count) || !bound.convert("low", low, to_double) ||
            !bound.convert("high", high, to_double)) {
            return nullptr;
        }
        const UniformRange range = UniformRange::create_or_panic(low, high);
        MemoryNeed().add(2, checked_product(checked_product(rows, cols), sizeof(double))).require();
        Matrix drawn = Matrix::zeros(rows, cols);
        draw_trial_perturbation(drawn, range, key, index);
        return copy_to_array(drawn);
    });
}

// One convergence run of a copy of `optimizer` from x0, y0 (uniform where not given), its
// histories kept to the steps it ran: (x history, y history, gaps).
PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(kRun);
        ArrayCopy<Matrix> a;
        Optimizer optimizer;
        std::uint64_t num_steps = 0;
        std::optional<Vector> x0, y0;
        if (!bound.bind(args, nargs, kwnames) || !bound.convert("a", a, to_matrix_copy) ||
            !bound.convert("optimizer", optimizer, to_optimizer_copy) || !bound.convert("num_steps", num_steps, to_count) ||
            !bound.convert("x0", x0, to_optional_vector) || !bound.convert("y0", y0, to_optional_vector)) {
            return nullptr;
        }
        if (a.too_large) throw std::bad_alloc();
        const std::size_t rows = a.values.rows, cols = a.values.cols;
        std::optional<StartPoint> start;
        if (!to_start_point(x0, y0, rows, cols, start)) return nullptr;
        if (!start) start = StartPoint{Vector(rows, 1.0 / static_cast<double>(rows)),
                                       Vector(cols, 1.0 / static_cast<double>(cols))};
        GameState state{std::move(start->x), std::move(start->y), std::move(a.values)};
        GameResult result;
        run_without_interpreter_lock(
            [&] { result = Experiment{num_steps}.run_until_convergence_trimmed(state, optimizer); });
        Ref x_history = Ref::steal(copy_to_array(result.x_history));
        if (!x_history) return nullptr;
        Ref y_history = Ref::steal(copy_to_array(result.y_history));
        if (!y_history) return nullptr;
        Ref gaps = Ref::steal(move_to_array(std::move(result.gaps_history)));
        if (!gaps) return nullptr;
        return PyTuple_Pack(3, x_history.get(), y_history.get(), gaps.get());
    });
}

// A copy of `optimizer` whose two vectors are `first` and `second`, whatever their lengths:
// a learner that starts somewhere other than its construction's start.
PyObject* with_vectors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(kWithVectors);
        Optimizer optimizer;
        std::optional<Vector> first, second;
        if (!bound.bind(args, nargs, kwnames) || !bound.convert("optimizer", optimizer, to_optimizer_copy) ||
            !bound.convert("first", first, to_optional_vector) || !bound.convert("second", second, to_optional_vector)) {
            return nullptr;
        }
        if (!first || !second) {
            PyErr_SetString(PyExc_TypeError, "_with_vectors() needs both vectors");
            return nullptr;
        }
        std::visit(
            [&](auto& rule) {
                auto& [rule_first, rule_second, eta] = rule;
                rule_first = std::move(*first);
                rule_second = std::move(*second);
            },
            optimizer.variant);
        return wrap(std::move(optimizer));
    });
}

// How many trials of a sweep of rows x cols games one worker runs together (in lanes, or 1):
// chunks that are multiples of it per worker keep the lanes full.
PyObject* trials_together(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(kTrialsTogether);
        Optimizer optimizer;
        std::uint64_t rows = 0, cols = 0, num_steps = 0;
        double cutoff = 0.0;
        if (!bound.bind(args, nargs, kwnames) || !bound.convert("rows", rows, to_count) || !bound.convert("cols", cols, to_count) ||
            !bound.convert("optimizer", optimizer, to_optimizer_copy) || !bound.convert("num_steps", num_steps, to_count) ||
            !bound.convert("cutoff", cutoff, to_double)) {
            return nullptr;
        }
        return PyLong_FromSize_t(sweep_trials_run_together(rows, cols, optimizer, num_steps, cutoff));
    });
}

// The pool's size and where it came from; the kernels' build in use, and every build this
// processor runs (best first), any of which QUARNEL_INSTRUCTION_SET may name.
PyObject* pool_info(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        const std::vector<std::string> names = runnable_instruction_sets();
        Ref runnable = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        if (!runnable) return nullptr;
        for (std::size_t i = 0; i < names.size(); ++i) {
            Ref name = Ref::steal(PyUnicode_FromString(names[i].c_str()));
            if (!name) return nullptr;
            PyTuple_SET_ITEM(runnable.get(), static_cast<Py_ssize_t>(i), name.release());
        }
        return Py_BuildValue("{s:n,s:s,s:s,s:O,s:s}", "workers", static_cast<Py_ssize_t>(pool_size()), "source",
                             pool_size_source(), "instruction_set", instruction_set_name(), "instruction_sets",
                             runnable.get(), "build", QUARNEL_BUILD_ID);
    });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef sweep_functions[] = {
    {"_sweep", as_method(sweep), kFastcall,
     "_sweep(a, optimizer, key, first, count, num_steps, low, high, cutoff, workers, x0=None, y0=None, "
     "tolerances=None, last=False)\n--\n\n"},
    {"_run_stack", as_method(run_stack), kFastcall,
     "_run_stack(matrices, optimizer, num_steps, normalize, cutoff, workers, x0=None, y0=None, tolerances=None, "
     "last=False)\n--\n\n"},
    {"_perturbation", as_method(perturbation), kFastcall, "_perturbation(key, index, rows, cols, low, high)\n--\n\n"},
    {"_run", as_method(run), kFastcall, "_run(a, optimizer, num_steps, x0=None, y0=None)\n--\n\n"},
    {"_with_vectors", as_method(with_vectors), kFastcall, "_with_vectors(optimizer, first, second)\n--\n\n"},
    {"_pool_info", pool_info, METH_NOARGS, "_pool_info()\n--\n\n"},
    {"_trials_together", as_method(trials_together), kFastcall,
     "_trials_together(rows, cols, optimizer, num_steps, cutoff)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quarnel::python

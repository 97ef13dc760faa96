#pragma once
// The shape every class of the module shares: a heap type whose instances hold one payload
// value plus a borrow state, created once per process from a small description.
#include <Python.h>

#include <cstdint>
#include <new>
#include <utility>

#include "core/optimizer.hpp"
#include "core/run.hpp"
#include "python/handle.hpp"

namespace quarnel::python {

// Free (0), shared by N readers (N > 0) or held exclusively (-1).
class BorrowState {
public:
    bool try_share() {
        if (state_ < 0) return false;
        ++state_;
        return true;
    }
    bool try_take() {
        if (state_ != 0) return false;
        state_ = -1;
        return true;
    }
    void unshare() { --state_; }
    void give_back() { state_ = 0; }

private:
    std::intptr_t state_ = 0;
};

// The part of every instance that does not depend on the payload.
struct Instance {
    PyObject_HEAD
    BorrowState borrow;
};

template <typename Payload>
struct Wrapper : Instance {
    Payload value;
};

// Payloads of the classes that hold Python objects rather than a core record.
struct ExperimentPayload {
    Ref state;      // a GameState object
    Ref optimizer;  // an Optimizer object
    std::uint64_t num_steps = 0;
};
struct ScatteredPayload {
    Ref norms;
    Ref metrics;
};
struct ConcentricPayload {
    Ref slice_boundaries;
    Ref metrics;
};

// The class object of each payload, created on first use (borrowed; null with an exception set).
template <typename Payload>
PyTypeObject* class_of();
template <> PyTypeObject* class_of<GameState>();
template <> PyTypeObject* class_of<GameResult>();
template <> PyTypeObject* class_of<Optimizer>();
template <> PyTypeObject* class_of<Ogda>();
template <> PyTypeObject* class_of<OmwuOomd>();
template <> PyTypeObject* class_of<OmwuOftrl>();
template <> PyTypeObject* class_of<ExperimentPayload>();
template <> PyTypeObject* class_of<ScatteredPayload>();
template <> PyTypeObject* class_of<ConcentricPayload>();

template <typename Payload>
Wrapper<Payload>* unwrap(PyObject* object) {
    return reinterpret_cast<Wrapper<Payload>*>(object);
}

// A new instance of `type` owning `payload`; null with an exception set.
template <typename Payload>
PyObject* wrap_as(PyTypeObject* type, Payload payload) {
    if (type == nullptr) return nullptr;
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    // tp_alloc zero-fills the memory, which is the free borrow state.
    new (&unwrap<Payload>(object)->value) Payload(std::move(payload));
    return object;
}

template <typename Payload>
PyObject* wrap(Payload payload) {
    return wrap_as(class_of<Payload>(), std::move(payload));
}

template <typename Payload>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    unwrap<Payload>(self)->value.~Payload();
    type->tp_free(self);
    Py_DECREF(type);
}

// What differs between the classes; everything else is common to all of them.
struct ClassDefinition {
    const char* name;
    newfunc constructor = nullptr;  // null: calling the class raises "No constructor defined for"
    const char* doc = nullptr;      // text signature form; only for classes with a constructor
    PyGetSetDef* getters = nullptr;
    PyMethodDef* methods = nullptr;
};

// A new class whose instances wrap one payload of `basicsize` bytes in all, or null with an
// exception set.
PyTypeObject* create_class(int basicsize, destructor dealloc, const ClassDefinition& definition);

// The class wrapping Payload: created on the first call, the same object afterwards.
template <typename Payload>
PyTypeObject* cached_class(const ClassDefinition& definition) {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_class(static_cast<int>(sizeof(Wrapper<Payload>)), dealloc<Payload>, definition);
    return type;
}

// RAII guards over an object's borrow state; check `held()` right after construction.
class SharedBorrow {
public:
    // Refused while an exclusive borrow is held: RuntimeError set.
    explicit SharedBorrow(PyObject* object);
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow();
    bool held() const { return state_ != nullptr; }

private:
    BorrowState* state_;
};

class ExclusiveBorrow {
public:
    // Refused while any other borrow is held: panic exception set.
    explicit ExclusiveBorrow(PyObject* object);
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow();
    bool held() const { return state_ != nullptr; }

private:
    BorrowState* state_;
};

}  // namespace quarnel::python

#include "python/types.hpp"

#include <array>
#include <string>

#include "python/errors.hpp"

namespace quarnel::python {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
    return nullptr;
}

BorrowState& borrow_state_of(PyObject* object) {
    return reinterpret_cast<Instance*>(object)->borrow;
}

// The class is created as "builtins.<name>", which sets its __module__ without the deprecation
// warning a dotless name draws; renaming it then makes the type name itself the bare name. A doc
// holding only a text signature leaves an empty __doc__, which is reported as None instead.
bool finish_class(PyObject* type, const char* name) {
    Ref bare_name = Ref::steal(PyUnicode_FromString(name));
    if (!bare_name || PyObject_SetAttrString(type, "__name__", bare_name.get()) < 0) return false;
    Ref doc = Ref::steal(PyObject_GetAttrString(type, "__doc__"));
    if (!doc) return false;
    const bool empty = PyUnicode_Check(doc.get()) && PyUnicode_GET_LENGTH(doc.get()) == 0;
    return !empty || PyObject_SetAttrString(type, "__doc__", Py_None) == 0;
}

}  // namespace

PyTypeObject* create_class(int basicsize, destructor dealloc, const ClassDefinition& definition) {
    std::array<PyType_Slot, 6> slots{};
    std::size_t count = 0;
    slots[count++] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)};
    slots[count++] = {Py_tp_new, reinterpret_cast<void*>(definition.constructor ? definition.constructor : no_constructor)};
    if (definition.doc != nullptr) slots[count++] = {Py_tp_doc, const_cast<char*>(definition.doc)};
    if (definition.getters != nullptr) slots[count++] = {Py_tp_getset, definition.getters};
    if (definition.methods != nullptr) slots[count++] = {Py_tp_methods, definition.methods};
    slots[count] = {0, nullptr};
    // No BASETYPE flag, so the class cannot be subclassed; no GC flag, no __dict__ and no weak
    // reference slot.
    const std::string qualified_name = std::string("builtins.") + definition.name;
    PyType_Spec type_spec{qualified_name.c_str(), basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    if (!type || !finish_class(type.get(), definition.name)) return nullptr;
    auto* created = reinterpret_cast<PyTypeObject*>(type.release());
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    // Once finished, the class is frozen: a replaced __new__ could build an instance around a
    // payload that was never constructed.
    created->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    return created;
}

SharedBorrow::SharedBorrow(PyObject* object) : state_(&borrow_state_of(object)) {
    if (!state_->try_share()) {
        state_ = nullptr;
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
}

SharedBorrow::~SharedBorrow() {
    if (state_ != nullptr) state_->unshare();
}

ExclusiveBorrow::ExclusiveBorrow(PyObject* object) : state_(&borrow_state_of(object)) {
    if (!state_->try_take()) {
        state_ = nullptr;
        raise_panic("Already borrowed");
    }
}

ExclusiveBorrow::~ExclusiveBorrow() {
    if (state_ != nullptr) state_->give_back();
}

}  // namespace quarnel::python

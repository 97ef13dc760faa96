#pragma once
// Method records of the exploration functions, bound to the module when it is created.
#include <Python.h>

namespace quarnel::python {

extern PyMethodDef scattered_exploration_def;
extern PyMethodDef concentric_exploration_def;
extern PyMethodDef neighborhood_exploration_def;

}  // namespace quarnel::python

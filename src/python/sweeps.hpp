#pragma once
// The private entry points of the sweep layer (quarnel_lab): module attributes with leading
// underscores, not listed in __all__. Null-terminated, for PyModule_AddFunctions.
#include <Python.h>

namespace quarnel::python {

extern PyMethodDef sweep_functions[];

}  // namespace quarnel::python

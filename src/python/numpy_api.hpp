#pragma once
// The NumPy C API, shared by every source file of the module. The API table lives in the
// file that defines QUARNEL_NUMPY_API_OWNER (the module entry), which also imports it.
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL quarnel_numpy_api
#ifndef QUARNEL_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#pragma once

// The checks of DAT: verify, authorize, verify_signature and validate_timing (dat_verify.cpp),
// for the method table in dat.cpp.

#include <Python.h>

namespace quorvex::py {

PyObject* dat_verify(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dat_authorize(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dat_verify_signature(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dat_validate_timing(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quorvex::py

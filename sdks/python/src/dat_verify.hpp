#pragma once

// The checks of DAT: verify, authorize, verify_signature and validate_timing (dat_verify.cpp),
// for the method table in dat.cpp.

#include <Python.h>

#include <optional>
#include <string>

namespace quorvex::py {

PyObject* dat_verify(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dat_authorize(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dat_verify_signature(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dat_validate_timing(PyObject* self, PyObject* args, PyObject* kwargs);

// token_text_arg is the exact text of a token passed as a DAT or as its compact str; nullopt
// with TypeError set for anything else.
std::optional<std::string> token_text_arg(PyObject* obj, const char* name);

}  // namespace quorvex::py

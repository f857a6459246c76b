// ReceiptLog's value and the methods its tree and store add.
#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "core/receipt/log.hpp"
#include "core/receipt/stored_log.hpp"

namespace quorvex::py {

// LogHandle is what a ReceiptLog instance holds: a log in memory, or, when
// opened on a store, the stored log (the memory log then stays empty).
struct LogHandle {
  receipt::ReceiptLog memory;
  std::unique_ptr<receipt::StoredLog> stored;
  std::string path;
};

// receipt_proofs.cpp
PyObject* receipt_log_receipt(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* receipt_log_query(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* receipt_log_root(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* receipt_log_inclusion_proof(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* receipt_log_consistency_proof(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* receipt_log_checkpoint(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* receipt_log_prove(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* receipt_log_verify_checkpoint(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* receipt_log_verify_inclusion(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* receipt_log_verify_consistency(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* receipt_log_check_proof(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quorvex::py

// ReceiptLog's reading back, its Merkle tree, checkpoints and offline proofs.
#include <Python.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "binding.hpp"
#include "core/receipt/checkpoint.hpp"
#include "core/receipt/proof_check.hpp"
#include "receipt_log.hpp"

namespace quorvex::py {
namespace {

using crypto::KeyPair;
using receipt::TreeRange;
namespace merkle = receipt::merkle;

// A log's size and tree, whichever kind of log it is. Stored reads run
// without the interpreter lock.
struct TreeOf {
  const LogHandle& log;

  Result<std::uint64_t> size() const {
    if (!log.stored) return std::uint64_t{log.memory.size()};
    receipt::StoredLog* stored = log.stored.get();
    return without_gil([&] { return stored->size(); });
  }
  merkle::NodeReader reader() const {
    if (!log.stored) return log.memory.tree().reader();
    receipt::StoredLog* stored = log.stored.get();
    return stored->node_reader();
  }
};

// size_or: an optional size argument, `fallback` when absent.
std::optional<std::uint64_t> size_or(PyObject* slot, const char* name, std::uint64_t fallback) {
  if (absent(slot)) return fallback;
  return u64_arg(slot, name);
}

std::optional<crypto::PublicKey> public_key_arg(PyObject* slot) {
  auto key = bytes_arg(slot, "public_key");
  if (!key) return std::nullopt;
  if (key->size() != crypto::kPublicKeyLen) {
    raise_message(Message::PublicKeyLength);
    return std::nullopt;
  }
  crypto::PublicKey out{};
  std::copy(key->begin(), key->end(), out.begin());
  return out;
}

// proof_arg: a list or tuple of 32-byte hashes.
std::optional<std::vector<merkle::Hash>> proof_arg(PyObject* slot) {
  if (!PyList_Check(slot) && !PyTuple_Check(slot)) {
    raise_type_error("argument 'proof': expected a list of 32-byte hashes");
    return std::nullopt;
  }
  // Iterated rather than sized: a list subclass's __len__ may say anything.
  PyRef iter = PyRef::steal(PyObject_GetIter(slot));
  if (!iter) return std::nullopt;
  std::vector<merkle::Hash> out;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    auto bytes = bytes_arg(item.get(), "proof");
    if (!bytes) return std::nullopt;
    if (bytes->size() != merkle::Hash{}.size()) {
      raise_value_error("argument 'proof': every hash must be 32 bytes");
      return std::nullopt;
    }
    merkle::Hash hash{};
    std::copy(bytes->begin(), bytes->end(), hash.begin());
    out.push_back(hash);
  }
  if (PyErr_Occurred() != nullptr) return std::nullopt;
  return out;
}

PyObject* hash_list(const std::vector<merkle::Hash>& hashes) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hashes.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hashes.size(); ++i) {
    PyObject* item = new_bytes(hashes[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// origin_arg: the optional origin, "" when absent (any origin the key signed).
bool origin_arg(PyObject* slot, std::string& out) {
  if (absent(slot)) return true;
  auto text = text_arg(slot, "origin");
  if (!text) return false;
  out.assign(text->view);
  return true;
}

}  // namespace

PyObject* receipt_log_receipt(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"index", true}};
    PyObject* slots[1];
    if (!match_args({"ReceiptLog.receipt()", kParams}, args, kwargs, slots)) return nullptr;
    auto index = u64_arg(slots[0], "index");
    if (!index) return nullptr;
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    std::optional<std::string> json;
    if (log->stored) {
      receipt::StoredLog* stored = log->stored.get();
      auto read = without_gil([&] { return stored->receipt_json(*index); });
      if (!read) return translate_core_error(read.error());
      json = std::move(*read);
    } else if (*index < log->memory.size()) {
      json = receipt::signed_json(log->memory[*index]);
    }
    if (!json) {
      PyErr_SetString(PyExc_IndexError, "receipt index out of range");
      return nullptr;
    }
    return new_text(*json);
  });
}

PyObject* receipt_log_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t { kAgent, kDat, kSince, kUntil, kLimit, kSlotCount };
    static constexpr Param kParams[] = {
        {"agent_did", false, true}, {"dat_jti", false, true}, {"since_ms", false, true},
        {"until_ms", false, true},  {"limit", false, true},
    };
    PyObject* slots[kSlotCount];
    if (!match_args({"ReceiptLog.query()", kParams}, args, kwargs, slots)) return nullptr;
    receipt::ReceiptQuery query;
    const auto text = [&](std::size_t k, const char* name, std::optional<std::string>& out) {
      if (absent(slots[k])) return true;
      auto value = text_arg(slots[k], name);
      if (!value) return false;
      out.emplace(value->view);
      return true;
    };
    const auto number = [&](std::size_t k, const char* name, std::optional<std::uint64_t>& out) {
      if (absent(slots[k])) return true;
      out = u64_arg(slots[k], name);
      return out.has_value();
    };
    if (!text(kAgent, "agent_did", query.agent) || !text(kDat, "dat_jti", query.dat) ||
        !number(kSince, "since_ms", query.since_millis) ||
        !number(kUntil, "until_ms", query.until_millis) || !number(kLimit, "limit", query.limit)) {
      return nullptr;
    }
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    Result<std::vector<std::pair<std::uint64_t, std::string>>> found = fail(ErrorKind::Other);
    if (log->stored) {
      receipt::StoredLog* stored = log->stored.get();
      found = without_gil([&] { return stored->query(query); });
      if (!found) return translate_core_error(found.error());
    } else {
      found = log->memory.query(query);
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < found->size(); ++i) {
      const auto& [index, json] = (*found)[i];
      PyObject* item =
          Py_BuildValue("(KN)", static_cast<unsigned long long>(index), new_text(json));
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* receipt_log_root(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"tree_size", false}};
    PyObject* slots[1];
    if (!match_args({"ReceiptLog.root()", kParams}, args, kwargs, slots)) return nullptr;
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    const TreeOf tree{*log};
    auto log_size = tree.size();
    if (!log_size) return translate_core_error(log_size.error());
    auto size = size_or(slots[0], "tree_size", *log_size);
    if (!size) return nullptr;
    if (auto in_range = receipt::check_tree_range(0, *size, *log_size, TreeRange::Root);
        !in_range) {
      return translate_argument_error(in_range.error());
    }
    auto root = merkle::root(*size, tree.reader());
    if (!root) return translate_core_error(root.error());
    return new_bytes(*root);
  });
}

PyObject* receipt_log_inclusion_proof(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"index", true}, {"tree_size", false}};
    PyObject* slots[2];
    if (!match_args({"ReceiptLog.inclusion_proof()", kParams}, args, kwargs, slots)) {
      return nullptr;
    }
    auto index = u64_arg(slots[0], "index");
    if (!index) return nullptr;
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    const TreeOf tree{*log};
    auto log_size = tree.size();
    if (!log_size) return translate_core_error(log_size.error());
    auto size = size_or(slots[1], "tree_size", *log_size);
    if (!size) return nullptr;
    if (auto in_range = receipt::check_tree_range(*index, *size, *log_size, TreeRange::Inclusion);
        !in_range) {
      return translate_argument_error(in_range.error());
    }
    auto proof = merkle::inclusion_proof(*index, *size, tree.reader());
    if (!proof) return translate_core_error(proof.error());
    return hash_list(*proof);
  });
}

PyObject* receipt_log_consistency_proof(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"old_size", true}, {"new_size", false}};
    PyObject* slots[2];
    if (!match_args({"ReceiptLog.consistency_proof()", kParams}, args, kwargs, slots)) {
      return nullptr;
    }
    auto old_size = u64_arg(slots[0], "old_size");
    if (!old_size) return nullptr;
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    const TreeOf tree{*log};
    auto log_size = tree.size();
    if (!log_size) return translate_core_error(log_size.error());
    auto new_size = size_or(slots[1], "new_size", *log_size);
    if (!new_size) return nullptr;
    if (auto in_range =
            receipt::check_tree_range(*old_size, *new_size, *log_size, TreeRange::Consistency);
        !in_range) {
      return translate_argument_error(in_range.error());
    }
    auto proof = merkle::consistency_proof(*old_size, *new_size, tree.reader());
    if (!proof) return translate_core_error(proof.error());
    return hash_list(*proof);
  });
}

PyObject* receipt_log_checkpoint(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"origin", true}, {"signing_key", true}, {"tree_size", false}};
    PyObject* slots[3];
    if (!match_args({"ReceiptLog.checkpoint()", kParams}, args, kwargs, slots)) return nullptr;
    auto origin = text_arg(slots[0], "origin");
    if (!origin) return nullptr;
    Shared<KeyPair> key(slots[1], "signing_key");
    if (!key) return nullptr;
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    const TreeOf tree{*log};
    auto log_size = tree.size();
    if (!log_size) return translate_core_error(log_size.error());
    auto size = size_or(slots[2], "tree_size", *log_size);
    if (!size) return nullptr;
    if (auto in_range = receipt::check_tree_range(0, *size, *log_size, TreeRange::Root);
        !in_range) {
      return translate_argument_error(in_range.error());
    }
    auto root = merkle::root(*size, tree.reader());
    if (!root) return translate_core_error(root.error());
    auto note = receipt::sign_checkpoint({std::string(origin->view), *size, *root}, *key);
    if (!note) return translate_key_error(note.error());
    return new_text(*note);
  });
}

PyObject* receipt_log_prove(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"index", true}, {"checkpoint", true}};
    PyObject* slots[2];
    if (!match_args({"ReceiptLog.prove()", kParams}, args, kwargs, slots)) return nullptr;
    auto index = u64_arg(slots[0], "index");
    if (!index) return nullptr;
    auto note = text_arg(slots[1], "checkpoint");
    if (!note) return nullptr;
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    const TreeOf tree{*log};
    auto log_size = tree.size();
    if (!log_size) return translate_core_error(log_size.error());
    auto bundle = receipt::make_proof_bundle(*index, note->view, *log_size, tree.reader());
    if (!bundle) return translate_key_error(bundle.error());
    return new_text(*bundle);
  });
}

PyObject* receipt_log_verify_checkpoint(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"checkpoint", true}, {"public_key", true}, {"origin", false}};
    PyObject* slots[3];
    if (!match_args({"ReceiptLog.verify_checkpoint()", kParams}, args, kwargs, slots)) {
      return nullptr;
    }
    auto note = text_arg(slots[0], "checkpoint");
    if (!note) return nullptr;
    auto key = public_key_arg(slots[1]);
    if (!key) return nullptr;
    std::string origin;
    if (!origin_arg(slots[2], origin)) return nullptr;
    auto opened = receipt::verify_checkpoint(note->view, origin, *key);
    if (!opened) return translate_core_error(opened.error());
    PyRef name = PyRef::steal(new_text(opened->origin));
    if (!name) return nullptr;
    PyRef root = PyRef::steal(new_bytes(opened->root));
    if (!root) return nullptr;
    return Py_BuildValue("(OKO)", name.get(), static_cast<unsigned long long>(opened->size),
                         root.get());
  });
}

PyObject* receipt_log_verify_inclusion(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t { kReceipt, kIndex, kProof, kCheckpoint, kKey, kOrigin, kSlotCount };
    static constexpr Param kParams[] = {{"receipt", true},    {"index", true},
                                        {"proof", true},      {"checkpoint", true},
                                        {"public_key", true}, {"origin", false}};
    PyObject* slots[kSlotCount];
    if (!match_args({"ReceiptLog.verify_inclusion()", kParams}, args, kwargs, slots)) {
      return nullptr;
    }
    auto receipt_text = text_arg(slots[kReceipt], "receipt");
    if (!receipt_text) return nullptr;
    auto index = u64_arg(slots[kIndex], "index");
    if (!index) return nullptr;
    auto proof = proof_arg(slots[kProof]);
    if (!proof) return nullptr;
    auto note = text_arg(slots[kCheckpoint], "checkpoint");
    if (!note) return nullptr;
    auto key = public_key_arg(slots[kKey]);
    if (!key) return nullptr;
    std::string origin;
    if (!origin_arg(slots[kOrigin], origin)) return nullptr;
    auto checked =
        receipt::verify_inclusion(receipt_text->view, *index, *proof, note->view, origin, *key);
    if (!checked) return translate_core_error(checked.error());
    Py_RETURN_NONE;
  });
}

PyObject* receipt_log_verify_consistency(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t { kOld, kNew, kProof, kKey, kOrigin, kSlotCount };
    static constexpr Param kParams[] = {{"old_checkpoint", true},
                                        {"new_checkpoint", true},
                                        {"proof", true},
                                        {"public_key", true},
                                        {"origin", false}};
    PyObject* slots[kSlotCount];
    if (!match_args({"ReceiptLog.verify_consistency()", kParams}, args, kwargs, slots)) {
      return nullptr;
    }
    auto old_note = text_arg(slots[kOld], "old_checkpoint");
    if (!old_note) return nullptr;
    auto new_note = text_arg(slots[kNew], "new_checkpoint");
    if (!new_note) return nullptr;
    auto proof = proof_arg(slots[kProof]);
    if (!proof) return nullptr;
    auto key = public_key_arg(slots[kKey]);
    if (!key) return nullptr;
    std::string origin;
    if (!origin_arg(slots[kOrigin], origin)) return nullptr;
    auto checked =
        receipt::verify_consistency(old_note->view, new_note->view, *proof, origin, *key);
    if (!checked) return translate_core_error(checked.error());
    Py_RETURN_NONE;
  });
}

PyObject* receipt_log_check_proof(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t { kBundle, kReceipt, kKey, kOrigin, kSlotCount };
    static constexpr Param kParams[] = {
        {"bundle", true}, {"receipt", true}, {"public_key", true}, {"origin", false}};
    PyObject* slots[kSlotCount];
    if (!match_args({"ReceiptLog.check_proof()", kParams}, args, kwargs, slots)) return nullptr;
    auto bundle = text_arg(slots[kBundle], "bundle");
    if (!bundle) return nullptr;
    auto receipt_text = text_arg(slots[kReceipt], "receipt");
    if (!receipt_text) return nullptr;
    auto key = public_key_arg(slots[kKey]);
    if (!key) return nullptr;
    std::string origin;
    if (!origin_arg(slots[kOrigin], origin)) return nullptr;
    auto index = receipt::check_proof_bundle(bundle->view, receipt_text->view, origin, *key);
    if (!index) return translate_core_error(index.error());
    return PyLong_FromUnsignedLongLong(*index);
  });
}

}  // namespace quorvex::py

// ReceiptLog.
#include "receipt_log.hpp"

#include <Python.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "args.hpp"
#include "binding.hpp"
#include "core/base/clock.hpp"
#include "core/crypto/keypair.hpp"
#include "core/receipt/audit.hpp"
#include "core/receipt/log.hpp"
#include "core/receipt/stored_log.hpp"

namespace quorvex::py {
namespace {

using crypto::KeyPair;
using receipt::ReceiptLog;
using receipt::StoredLog;

PyObject* raise_serialization(const CoreError& error) {
  return raise_message(Message::SerializationError, error.text(), error);
}

PyObject* receipt_log_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"ReceiptLog.__new__()", {}}, args, kwargs, nullptr)) return nullptr;
    return wrap(LogHandle{});
  });
}

PyObject* receipt_log_open(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"path", true}};
    PyObject* slots[1];
    if (!match_args({"ReceiptLog.open()", kParams}, args, kwargs, slots)) return nullptr;
    PyRef fs_path = PyRef::steal(PyOS_FSPath(slots[0]));
    if (!fs_path) return nullptr;
    auto path = text_arg(fs_path.get(), "path");
    if (!path) return nullptr;
    if (path->view.find('\0') != std::string_view::npos) {
      return raise_message(Message::EmbeddedNullByte);
    }
    std::string file(path->view);
    auto stored = without_gil([&] { return StoredLog::open(file); });
    if (!stored) return translate_core_error(stored.error());
    return wrap(LogHandle{ReceiptLog(), std::move(*stored), std::move(file)});
  });
}

// stored_log: the store a log was opened on, or nullptr for a log in memory
// (and nullptr with an exception set when self is no usable log). Which kind a
// log is never changes once it is built, so this takes no borrow.
StoredLog* stored_log(PyObject* self, bool& failed) {
  Boxed<LogHandle>* box = detail::instance_of<LogHandle>(self, nullptr);
  failed = box == nullptr;
  return box != nullptr ? box->value.stored.get() : nullptr;
}

// An optional text parameter: absent when not given or None.
bool optional_text(PyObject* slot, const char* name, std::optional<Utf8>& out) {
  if (absent(slot)) return true;
  out = text_arg(slot, name);
  return out.has_value();
}

PyObject* receipt_log_append(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t {
      kAgentDid,
      kDatJti,
      kActionType,
      kInputData,
      kSigningKey,
      kServer,
      kTool,
      kOutputData,
      kStatus,
      kDurationMs,
      kSessionId,
      kSlotCount
    };
    static constexpr Param kParams[] = {
        {"agent_did", true},    {"dat_jti", true},      {"action_type", true},
        {"input_data", true},   {"signing_key", true},  {"server", false},
        {"tool", false},        {"output_data", false}, {"status", false},
        {"duration_ms", false}, {"session_id", false},
    };
    static_assert(std::size(kParams) == kSlotCount);
    PyObject* slots[kSlotCount];
    if (!match_args({"ReceiptLog.append()", kParams}, args, kwargs, slots)) return nullptr;
    // A log in memory is held before any argument is converted: a conversion
    // that runs Python code (__index__) cannot append to it meanwhile. A stored
    // log orders appends itself, so it is only shared, and appends without the
    // interpreter lock.
    bool failed = false;
    StoredLog* stored = stored_log(self, failed);
    if (failed) return nullptr;
    std::optional<Exclusive<LogHandle>> memory;
    std::optional<Shared<LogHandle>> shared;
    if (stored == nullptr) {
      memory.emplace(self);
      if (!*memory) return nullptr;
    } else {
      shared.emplace(self);
      if (!*shared) return nullptr;
    }
    auto agent = text_arg(slots[kAgentDid], "agent_did");
    if (!agent) return nullptr;
    auto dat = text_arg(slots[kDatJti], "dat_jti");
    if (!dat) return nullptr;
    auto action_type = text_arg(slots[kActionType], "action_type");
    if (!action_type) return nullptr;
    auto input = bytes_arg(slots[kInputData], "input_data");
    if (!input) return nullptr;
    Shared<KeyPair> key(slots[kSigningKey], "signing_key");
    if (!key) return nullptr;
    std::optional<Utf8> server;
    if (!optional_text(slots[kServer], "server", server)) return nullptr;
    std::optional<Utf8> tool;
    if (!optional_text(slots[kTool], "tool", tool)) return nullptr;
    std::optional<std::span<const std::uint8_t>> output;
    if (!absent(slots[kOutputData])) {
      output = bytes_arg(slots[kOutputData], "output_data");
      if (!output) return nullptr;
    }
    std::optional<Utf8> status;
    if (slots[kStatus] != nullptr) {
      status = text_arg(slots[kStatus], "status");
      if (!status) return nullptr;
    }
    std::optional<std::uint64_t> duration;
    if (!absent(slots[kDurationMs])) {
      duration = u64_arg(slots[kDurationMs], "duration_ms");
      if (!duration) return nullptr;
    }
    std::optional<Utf8> session;
    if (!optional_text(slots[kSessionId], "session_id", session)) return nullptr;

    const auto view = [](const std::optional<Utf8>& text) -> std::optional<std::string_view> {
      if (!text) return std::nullopt;
      return text->view;
    };
    receipt::ActionInput action{agent->view,
                                dat->view,
                                action_type->view,
                                *input,
                                view(server),
                                view(tool),
                                output,
                                status ? status->view : std::string_view("success"),
                                duration,
                                view(session)};
    if (stored != nullptr) {
      auto appended = without_gil([&] { return stored->append(action, *key, quorvex::now()); });
      if (!appended) {
        if (appended.error().kind() == ErrorKind::Serialization) {
          return raise_serialization(appended.error());
        }
        return translate_core_error(appended.error());
      }
      Py_RETURN_NONE;
    }
    if (auto appended = (*memory)->memory.append(action, *key, quorvex::now()); !appended) {
      return raise_serialization(appended.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* receipt_log_verify_integrity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"ReceiptLog.verify_integrity()", {}}, args, kwargs, nullptr)) return nullptr;
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    if (log->stored) {
      StoredLog* stored = log->stored.get();
      auto verified = without_gil([&] { return stored->verify_integrity(); });
      if (!verified) return translate_core_error(verified.error());
      Py_RETURN_NONE;
    }
    if (auto verified = log->memory.verify_integrity(); !verified) {
      return translate_core_error(verified.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* receipt_log_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"ReceiptLog.to_json()", {}}, args, kwargs, nullptr)) return nullptr;
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    if (log->stored) {
      StoredLog* stored = log->stored.get();
      auto json = without_gil([&] { return stored->to_json(); });
      if (!json) return translate_core_error(json.error());
      return new_text(*json);
    }
    auto json = log->memory.to_json();
    if (!json) return raise_serialization(json.error());
    return new_text(*json);
  });
}

PyObject* receipt_log_audit(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t { kJson, kPublicKey, kSlotCount };
    static constexpr Param kParams[] = {{"json", true}, {"public_key", true}};
    static_assert(std::size(kParams) == kSlotCount);
    PyObject* slots[kSlotCount];
    if (!match_args({"ReceiptLog.audit()", kParams}, args, kwargs, slots)) return nullptr;
    auto json = text_arg(slots[kJson], "json");
    if (!json) return nullptr;
    auto key = bytes_arg(slots[kPublicKey], "public_key");
    if (!key) return nullptr;
    if (key->size() != crypto::kPublicKeyLen) {
      return raise_message(Message::PublicKeyLength);
    }
    // The text is already this call's own UTF-8 copy; with the key copied too, a long
    // audit leaves the interpreter to other threads.
    std::array<std::uint8_t, crypto::kPublicKeyLen> public_key{};
    std::copy(key->begin(), key->end(), public_key.begin());
    const std::string_view text = json->view;
    auto count = without_gil([&] { return receipt::audit_printed_log(text, public_key); });
    if (!count) {
      if (count.error().kind() == ErrorKind::Serialization) {
        return raise_message(Message::InvalidReceiptLogJson, count.error().detail(), count.error());
      }
      return translate_core_error(count.error());
    }
    return PyLong_FromSize_t(*count);
  });
}

PyObject* receipt_log_enter(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"ReceiptLog.__enter__()", {}}, args, kwargs, nullptr)) return nullptr;
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    if (log->stored) {
      StoredLog* stored = log->stored.get();
      auto begun = without_gil([&] { return stored->begin_group(); });
      if (!begun) return translate_core_error(begun.error());
    }
    Py_INCREF(self);
    return self;
  });
}

PyObject* receipt_log_exit(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    // __exit__(exc_type, exc_value, traceback): the group commits whatever
    // ended the block, since its receipts record actions already taken.
    static_cast<void>(args);
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    if (log->stored) {
      StoredLog* stored = log->stored.get();
      auto ended = without_gil([&] { return stored->end_group(); });
      if (!ended) return translate_core_error(ended.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* receipt_log_path(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    if (!log->stored) Py_RETURN_NONE;
    return new_text(log->path);
  });
}

PyObject* receipt_log_last_hash(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    if (log->stored) {
      auto hash = log->stored->last_hash();
      if (!hash) return translate_core_error(hash.error());
      return new_text(*hash);
    }
    return new_text(log->memory.last_hash());
  });
}

PyObject* receipt_log_next_sequence(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    if (log->stored) {
      auto next = log->stored->next_sequence();
      if (!next) return translate_core_error(next.error());
      return PyLong_FromUnsignedLongLong(*next);
    }
    return PyLong_FromUnsignedLongLong(log->memory.next_sequence());
  });
}

Py_ssize_t receipt_log_len(PyObject* self) {
  return guarded_as<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    Shared<LogHandle> log(self);
    if (!log) return -1;
    if (log->stored) {
      auto size = log->stored->size();
      if (!size) {
        translate_core_error(size.error());
        return -1;
      }
      return static_cast<Py_ssize_t>(*size);
    }
    return static_cast<Py_ssize_t>(log->memory.size());
  });
}

PyObject* receipt_log_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Shared<LogHandle> log(self);
    if (!log) return nullptr;
    if (log->stored) {
      auto text = log->stored->repr_text();
      if (!text) return translate_core_error(text.error());
      return new_text(*text);
    }
    return new_text(log->memory.repr_text());
  });
}

constexpr const char kAppendDoc[] =
    "append($self, agent_did, dat_jti, action_type, input_data, signing_key, server=None, "
    "tool=None, output_data=None, status=\"success\", duration_ms=None, session_id=None)\n--\n\n"
    "Append a new receipt to the log.\n"
    "\n"
    "Constructs a signed, hash-chained receipt from the provided action details.\n"
    "The receipt is automatically linked to the previous entry in the chain.\n"
    "\n"
    "Args:\n"
    "    agent_did: DID of the agent performing the action\n"
    "    dat_jti: JTI of the DAT authorizing the action\n"
    "    action_type: Action type string (e.g., \"mcp:tool-call\")\n"
    "    input_data: Input data bytes (hashed with BLAKE3, not stored raw)\n"
    "    signing_key: Agent's KeyPair for signing the receipt\n"
    "    server: Optional target server hostname\n"
    "    tool: Optional tool/method name\n"
    "    output_data: Optional output data bytes (hashed with BLAKE3)\n"
    "    status: Action status (default: \"success\")\n"
    "    duration_ms: Optional duration in milliseconds\n"
    "    session_id: Optional session identifier";

constexpr const char kOpenDoc[] =
    "open(path)\n--\n\n"
    "A log kept in the SQLite receipt store at path, created if absent.\n"
    "\n"
    "Each append is durable when it returns (or, inside a with-block on the log,\n"
    "when the block ends). Reopening continues the same chain; several threads\n"
    "and processes may append to one store.";

PyMethodDef receipt_log_methods[] = {
    {"append", QV_METHOD(receipt_log_append), METH_VARARGS | METH_KEYWORDS, kAppendDoc},
    {"verify_integrity", QV_METHOD(receipt_log_verify_integrity), METH_VARARGS | METH_KEYWORDS,
     "verify_integrity($self)\n--\n\n"},
    {"to_json", QV_METHOD(receipt_log_to_json), METH_VARARGS | METH_KEYWORDS,
     "to_json($self)\n--\n\n"},
    {"audit", QV_METHOD(receipt_log_audit), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "audit(json, public_key)\n--\n\n"
     "Check a log printed by to_json() from its text alone.\n"
     "\n"
     "Re-derives every hash link and checks every signature against the agent's\n"
     "32-byte public key. Returns the number of receipts; raises at the first bad\n"
     "one (RuntimeError naming its sequence) or for text that is no printed log\n"
     "(ValueError naming the line and column)."},
    {"open", QV_METHOD(receipt_log_open), METH_VARARGS | METH_KEYWORDS | METH_STATIC, kOpenDoc},
    {"__enter__", QV_METHOD(receipt_log_enter), METH_VARARGS | METH_KEYWORDS,
     "__enter__($self)\n--\n\n"
     "Group the appends of a with-block into one durable commit (a stored log).\n"
     "\n"
     "The group commits when the block ends, however it ends; receipts are\n"
     "durable from then. Meanwhile other processes' appends to the store wait.\n"
     "A log in memory has nothing to group."},
    {"__exit__", QV_METHOD(receipt_log_exit), METH_VARARGS, "__exit__($self, *exc_info)\n--\n\n"},
    {"receipt", QV_METHOD(receipt_log_receipt), METH_VARARGS | METH_KEYWORDS,
     "receipt($self, index)\n--\n\n"
     "The receipt at index as compact JSON, its signature included."},
    {"query", QV_METHOD(receipt_log_query), METH_VARARGS | METH_KEYWORDS,
     "query($self, *, agent_did=None, dat_jti=None, since_ms=None, until_ms=None, limit=None)"
     "\n--\n\n"
     "Receipts by agent, by token id and by time (Unix milliseconds, both bounds\n"
     "included), as (index, compact JSON) pairs in log order; at most limit of them."},
    {"root", QV_METHOD(receipt_log_root), METH_VARARGS | METH_KEYWORDS,
     "root($self, tree_size=None)\n--\n\n"
     "The RFC 9162 tree head of the first tree_size receipts (default: all)."},
    {"inclusion_proof", QV_METHOD(receipt_log_inclusion_proof), METH_VARARGS | METH_KEYWORDS,
     "inclusion_proof($self, index, tree_size=None)\n--\n\n"
     "The RFC 9162 inclusion proof of receipt index in the tree of tree_size\n"
     "receipts (default: all), as a list of 32-byte hashes."},
    {"consistency_proof", QV_METHOD(receipt_log_consistency_proof), METH_VARARGS | METH_KEYWORDS,
     "consistency_proof($self, old_size, new_size=None)\n--\n\n"
     "The RFC 9162 consistency proof between the trees of old_size and new_size\n"
     "receipts (default: all), as a list of 32-byte hashes."},
    {"checkpoint", QV_METHOD(receipt_log_checkpoint), METH_VARARGS | METH_KEYWORDS,
     "checkpoint($self, origin, signing_key, tree_size=None)\n--\n\n"
     "A signed checkpoint of the tree of tree_size receipts (default: all): the\n"
     "C2SP tlog-checkpoint text in a C2SP signed note, signed by signing_key\n"
     "under the key name origin."},
    {"prove", QV_METHOD(receipt_log_prove), METH_VARARGS | METH_KEYWORDS,
     "prove($self, index, checkpoint)\n--\n\n"
     "A C2SP tlog-proof bundle for receipt index: its inclusion proof to the\n"
     "tree that checkpoint (one of this log's) signs, and that checkpoint."},
    {"verify_checkpoint", QV_METHOD(receipt_log_verify_checkpoint),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "verify_checkpoint(checkpoint, public_key, origin=None)\n--\n\n"
     "Open a signed checkpoint with the 32-byte public key of the log's signer.\n"
     "Returns (origin, tree_size, root). With origin given, the checkpoint must be\n"
     "that log's."},
    {"verify_inclusion", QV_METHOD(receipt_log_verify_inclusion),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "verify_inclusion(receipt, index, proof, checkpoint, public_key, origin=None)\n--\n\n"
     "Check offline that receipt (its compact JSON) is entry index of the tree a\n"
     "signed checkpoint commits to. Raises RuntimeError when it is not."},
    {"verify_consistency", QV_METHOD(receipt_log_verify_consistency),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "verify_consistency(old_checkpoint, new_checkpoint, proof, public_key, origin=None)"
     "\n--\n\n"
     "Check offline that the newer checkpoint's tree extends the older one's:\n"
     "a log that dropped or rewrote receipts cannot pass. Raises RuntimeError."},
    {"check_proof", QV_METHOD(receipt_log_check_proof), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "check_proof(bundle, receipt, public_key, origin=None)\n--\n\n"
     "Check a proof bundle from prove() for receipt offline; returns its index."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef receipt_log_getset[] = {
    {"path", receipt_log_path, nullptr, nullptr, nullptr},
    {"last_hash", receipt_log_last_hash, nullptr, nullptr, nullptr},
    {"next_sequence", receipt_log_next_sequence, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_receipt_log_type() {
  ClassSpec spec{};
  spec.qualified_name = "builtins.ReceiptLog";
  spec.doc = "ReceiptLog()\n--\n\n";
  spec.doc_is_signature_only = true;
  spec.tp_new = receipt_log_new;
  spec.methods = receipt_log_methods;
  spec.getset = receipt_log_getset;
  spec.repr = receipt_log_repr;
  spec.str = receipt_log_repr;
  spec.length = receipt_log_len;
  return make_class<LogHandle>(spec);
}

}  // namespace quorvex::py

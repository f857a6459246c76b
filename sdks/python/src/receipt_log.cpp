// ReceiptLog.
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

namespace quorvex::py {
namespace {

using crypto::KeyPair;
using receipt::ReceiptLog;

PyObject* raise_serialization(const CoreError& error) {
  return raise_message(Message::SerializationError, error.text(), error);
}

PyObject* receipt_log_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"ReceiptLog.__new__()", {}}, args, kwargs, nullptr)) return nullptr;
    return wrap(ReceiptLog());
  });
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
    // The log is held before any argument is converted: a conversion that runs
    // Python code (__index__) cannot append to it meanwhile.
    Exclusive<ReceiptLog> log(self);
    if (!log) return nullptr;
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
    if (auto appended = log->append(action, *key, quorvex::now()); !appended) {
      return raise_serialization(appended.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* receipt_log_verify_integrity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"ReceiptLog.verify_integrity()", {}}, args, kwargs, nullptr)) return nullptr;
    Shared<ReceiptLog> log(self);
    if (!log) return nullptr;
    if (auto verified = log->verify_integrity(); !verified) {
      return translate_core_error(verified.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* receipt_log_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"ReceiptLog.to_json()", {}}, args, kwargs, nullptr)) return nullptr;
    Shared<ReceiptLog> log(self);
    if (!log) return nullptr;
    auto json = log->to_json();
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

PyObject* receipt_log_last_hash(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<ReceiptLog> log(self);
    if (!log) return nullptr;
    return new_text(log->last_hash());
  });
}

PyObject* receipt_log_next_sequence(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<ReceiptLog> log(self);
    if (!log) return nullptr;
    return PyLong_FromUnsignedLongLong(log->next_sequence());
  });
}

Py_ssize_t receipt_log_len(PyObject* self) {
  return guarded_as<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    Shared<ReceiptLog> log(self);
    if (!log) return -1;
    return static_cast<Py_ssize_t>(log->size());
  });
}

PyObject* receipt_log_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Shared<ReceiptLog> log(self);
    if (!log) return nullptr;
    return new_text(log->repr_text());
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
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef receipt_log_getset[] = {
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
  return make_class<ReceiptLog>(spec);
}

}  // namespace quorvex::py

#include "errors.hpp"

#include <array>

#include "py_ref.hpp"

namespace quorvex::py {

namespace {

// The code of each error kind, in ErrorKind's order.
constexpr std::array<std::string_view, kErrorKindCount> kKindCodes = {
    "KeyGeneration",      "Signing",
    "VerificationFailed", "InvalidKey",
    "InvalidAid",         "AidValidation",
    "AidNotFound",        "InvalidDat",
    "DatExpired",         "DatNotYetValid",
    "DatRevoked",         "ScopeNotPermitted",
    "ConstraintViolated", "DelegationChainInvalid",
    "ReceiptChainBroken", "InvalidReceipt",
    "TrustVerification",  "Serialization",
    "Base64Decode",       "Other",
};
static_assert(static_cast<std::size_t>(ErrorKind::Other) + 1 == kKindCodes.size() &&
              kKindCodes.back() == "Other");

constexpr std::string_view kAlreadyBorrowed = "AlreadyBorrowed";

// raise_with sets type with message as its only argument; code, when not empty, becomes
// its `code` and details (a dict; nullptr for {}) its `details`. Returns nullptr; if
// building the exception fails, that failure (MemoryError) is what stays set.
PyObject* raise_with(PyObject* type, std::string_view message, std::string_view code,
                     PyObject* details) {
  PyRef text = PyRef::steal(message_text(message));
  if (!text) return nullptr;
  if (code.empty()) {
    PyErr_SetObject(type, text.get());
    return nullptr;
  }
  PyRef error = PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!error) return nullptr;
  PyRef code_text =
      PyRef::steal(PyUnicode_FromStringAndSize(code.data(), static_cast<Py_ssize_t>(code.size())));
  PyRef fields = details != nullptr ? PyRef::borrow(details) : PyRef::steal(PyDict_New());
  if (!code_text || !fields || PyObject_SetAttrString(error.get(), "code", code_text.get()) != 0 ||
      PyObject_SetAttrString(error.get(), "details", fields.get()) != 0) {
    return nullptr;
  }
  PyErr_SetObject(type, error.get());
  return nullptr;
}

// The code a plain raise_error gives its exception type.
std::string_view default_code(PyObject* type) {
  if (type == PyExc_ValueError) return kInvalidArgument;
  if (type == PyExc_RuntimeError) return error_code(ErrorKind::Other);
  return {};
}

// set_item stores value (a new reference, nullptr on failure) under key; false with
// the exception set if either failed.
bool set_item(PyObject* dict, std::string_view key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  PyRef name =
      PyRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
  return owned && name && PyDict_SetItem(dict, name.get(), owned.get()) == 0;
}

// core_details is the details dict of a core error; nullptr with an exception set
// if it cannot be built.
PyRef core_details(const CoreError& error) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  if (error.kind() == ErrorKind::Serialization && error.line() != 0) {
    if (!set_item(dict.get(), "line", PyLong_FromUnsignedLongLong(error.line())) ||
        !set_item(dict.get(), "column", PyLong_FromUnsignedLongLong(error.column()))) {
      return {};
    }
  }
  return dict;
}

// DetailsDict collects a violation's fields into a dict, texts as str (whole, as
// message_text makes them), numbers as int, lists as list, an absent option as None.
// A tuple variant's unnamed text is stored as "reason".
class DetailsDict final : public ViolationFields {
 public:
  DetailsDict() : dict_(PyRef::steal(PyDict_New())) {}

  void text(std::string_view name, std::string_view value) override {
    if (ok()) store(name, message_text(value));
  }
  void number(std::string_view name, std::uint64_t value) override {
    if (ok()) store(name, PyLong_FromUnsignedLongLong(value));
  }
  void list(std::string_view name, const std::vector<std::string>& values) override {
    if (!ok()) return;
    PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; out && i < values.size(); ++i) {
      // PyList_SetItem takes item, even when it fails.
      PyObject* item = message_text(values[i]);
      if (item == nullptr || PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), item) != 0) {
        out = PyRef();
      }
    }
    store(name, out.release());
  }
  void optional(std::string_view name, const std::optional<std::string>& value) override {
    if (!ok()) return;
    if (!value) {
      Py_INCREF(Py_None);
      store(name, Py_None);
      return;
    }
    store(name, message_text(*value));
  }
  void unnamed(std::string_view value) override {
    if (ok()) store("reason", message_text(value));
  }

  // take is the dict, or nullptr with an exception set if it could not be built.
  PyRef take() { return ok() ? std::move(dict_) : PyRef(); }

 private:
  bool ok() const { return !failed_ && dict_; }
  // store takes value (a new reference, nullptr on failure) into the dict.
  void store(std::string_view name, PyObject* value) {
    failed_ = !set_item(dict_.get(), name, value);
  }
  PyRef dict_;
  bool failed_ = false;
};

// How a core error reaches Python: exception type, prefix before the error's
// display text and the hint after it.
struct Translation {
  PyObject* type;
  const char* prefix;
  const char* hint;
};

Translation translation(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::VerificationFailed:
      return {PyExc_ValueError,
              "VerificationFailedError: ", ". Fix: Ensure the correct public key is used."};
    case ErrorKind::InvalidAid:
    case ErrorKind::AidValidation:
      return {PyExc_ValueError, "InvalidAidError: ", ""};
    case ErrorKind::InvalidDat:
      return {PyExc_ValueError, "InvalidDatError: ", ""};
    case ErrorKind::DatExpired:
      return {PyExc_ValueError,
              "DatExpiredError: ", ". Fix: Issue a new DAT with a later expiration."};
    case ErrorKind::DatNotYetValid:
      return {PyExc_ValueError,
              "DatNotYetValidError: ", ". Fix: Check system clock or wait until the nbf time."};
    case ErrorKind::DatRevoked:
      return {PyExc_ValueError, "DatRevokedError: ", ". Fix: The issuer must issue a new DAT."};
    case ErrorKind::ScopeNotPermitted:
      return {PyExc_ValueError, "ScopeNotPermittedError: ", ""};
    case ErrorKind::ConstraintViolated:
      return {PyExc_ValueError, "ConstraintViolatedError: ", ""};
    case ErrorKind::KeyGeneration:
    case ErrorKind::Signing:
    case ErrorKind::InvalidKey:
    case ErrorKind::AidNotFound:
    case ErrorKind::DelegationChainInvalid:
    case ErrorKind::ReceiptChainBroken:
    case ErrorKind::InvalidReceipt:
    case ErrorKind::TrustVerification:
    case ErrorKind::Serialization:
    case ErrorKind::Base64Decode:
    case ErrorKind::Other:
      break;
  }
  return {PyExc_RuntimeError, "QuorvexError: ", ""};
}

// The exception, the text and the code (none for exceptions other than ValueError
// and RuntimeError) of each Message.
struct Wording {
  PyObject* type;
  std::string_view text;
  std::string_view code;
};

Wording wording(Message message) {
  switch (message) {
    case Message::PublicKeyLength:
      return {PyExc_ValueError, "Public key must be exactly 32 bytes", kInvalidArgument};
    case Message::AttributeNotDeletable:
      return {PyExc_AttributeError, "can't delete attribute", {}};
    case Message::SecretKeyLength:
      return {PyExc_ValueError, "Secret key must be exactly 32 bytes", kInvalidArgument};
    case Message::EmbeddedNullByte:  // as Python's own file functions say
      return {PyExc_ValueError, "embedded null byte", kInvalidArgument};
    case Message::AlreadyBorrowed:
      return {PyExc_RuntimeError, "Already borrowed", kAlreadyBorrowed};
    case Message::AlreadyMutablyBorrowed:
      return {PyExc_RuntimeError, "Already mutably borrowed", kAlreadyBorrowed};
    case Message::SubInterpreter:
      return {PyExc_ImportError,
              "quorvex cannot be initialised in a sub-interpreter; import it in the main "
              "interpreter first",
              {}};
    case Message::InitialisedTwice:
      return {PyExc_ImportError, "quorvex can be initialised only once per process", {}};
    case Message::SerializationError:
      return {PyExc_RuntimeError, "Serialization error: ", "Serialization"};
    case Message::InvalidAidJson:
      return {PyExc_ValueError, "Invalid AID JSON: ", "Serialization"};
    case Message::InvalidReceiptLogJson:
      return {PyExc_ValueError, "Invalid receipt log JSON: ", "Serialization"};
  }
  return {PyExc_SystemError, "unknown message", {}};
}

}  // namespace

std::string_view error_code(ErrorKind kind) noexcept {
  return kKindCodes[static_cast<std::size_t>(kind)];
}

PyObject* raise_message(Message message) {
  const Wording w = wording(message);
  return raise_with(w.type, w.text, w.code, nullptr);
}

PyObject* raise_message(Message message, std::string_view detail) {
  const Wording w = wording(message);
  std::string text(w.text);
  text += detail;
  return raise_with(w.type, text, w.code, nullptr);
}

PyObject* raise_message(Message message, std::string_view detail, const CoreError& cause) {
  const Wording w = wording(message);
  std::string text(w.text);
  text += detail;
  PyRef details = core_details(cause);
  if (!details) return nullptr;
  return raise_with(w.type, text, error_code(cause.kind()), details.get());
}

std::string core_error_message(const CoreError& error) {
  const Translation t = translation(error.kind());
  return t.prefix + error.display() + t.hint;
}

PyObject* translate_core_error(const CoreError& error) {
  PyRef details = core_details(error);
  if (!details) return nullptr;
  return raise_with(translation(error.kind()).type, core_error_message(error),
                    error_code(error.kind()), details.get());
}

PyObject* raise_core_text(PyObject* type, const CoreError& error) {
  PyRef details = core_details(error);
  if (!details) return nullptr;
  return raise_with(type, error.text(), error_code(error.kind()), details.get());
}

void mark_invalid_argument() {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef code = PyRef::steal(PyUnicode_FromStringAndSize(
      kInvalidArgument.data(), static_cast<Py_ssize_t>(kInvalidArgument.size())));
  PyRef details = PyRef::steal(code ? PyDict_New() : nullptr);
  if (!details || PyObject_SetAttrString(value, "code", code.get()) != 0 ||
      PyObject_SetAttrString(value, "details", details.get()) != 0) {
    Py_XDECREF(type);  // what failed (MemoryError) is raised instead
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  PyErr_Restore(type, value, traceback);
}

PyObject* translate_argument_error(const CoreError& error) {
  return raise_with(PyExc_ValueError, error.display(), kInvalidArgument, nullptr);
}

PyObject* translate_key_error(const CoreError& error) {
  if (error.kind() == ErrorKind::Other) return translate_argument_error(error);
  return translate_core_error(error);
}

PyObject* translate_violation(const ConstraintViolation& violation) {
  DetailsDict fields;
  visit_fields(violation, fields);
  PyRef details = fields.take();
  if (!details) return nullptr;
  return raise_with(PyExc_ValueError, render_violation(violation), violation_name(violation),
                    details.get());
}

PyObject* panic_exception() {
  static PyObject* type = nullptr;  // created once, kept for the life of the interpreter
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "quorvex.PanicException",
        "An internal fault of the native code (a broken invariant or a failing random source).",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(const char* what) {
  PyObject* type = panic_exception();
  if (type == nullptr) return;  // creating the type failed; that error stays set
  PyErr_SetString(type, what);
}

PyObject* message_text(std::string_view text) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), size, "surrogatepass");
  if (str != nullptr) return str;
  PyErr_Clear();
  return PyUnicode_DecodeUTF8(text.data(), size, "replace");
}

std::string utf8_of(PyObject* str) {
  if (str == nullptr || !PyUnicode_Check(str)) return {};
  PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!encoded || PyBytes_AsStringAndSize(encoded.get(), &data, &size) != 0) {
    PyErr_Clear();
    return {};
  }
  return std::string(data, static_cast<std::size_t>(size));
}

PyObject* raise_refusal(PyObject* type, std::string_view message, std::string_view code,
                        PyObject* details) {
  return raise_with(type, message, code, details);
}

PyObject* raise_error(PyObject* type, std::string_view message) {
  return raise_with(type, message, default_code(type), nullptr);
}

PyObject* raise_value_error(std::string_view message) {
  return raise_with(PyExc_ValueError, message, kInvalidArgument, nullptr);
}

PyObject* raise_type_error(std::string_view message) {
  return raise_error(PyExc_TypeError, message);
}

PyObject* raise_runtime_error(std::string_view message) {
  return raise_with(PyExc_RuntimeError, message, error_code(ErrorKind::Other), nullptr);
}

}  // namespace quorvex::py

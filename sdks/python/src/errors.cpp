#include "errors.hpp"

#include "py_ref.hpp"

namespace quorvex::py {

namespace {

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

// The exception and the text of each Message.
struct Wording {
  PyObject* type;
  std::string_view text;
};

Wording wording(Message message) {
  switch (message) {
    case Message::PublicKeyLength:
      return {PyExc_ValueError, "Public key must be exactly 32 bytes"};
    case Message::AttributeNotDeletable:
      return {PyExc_AttributeError, "can't delete attribute"};
    case Message::SecretKeyLength:
      return {PyExc_ValueError, "Secret key must be exactly 32 bytes"};
    case Message::EmbeddedNullByte:  // as Python's own file functions say
      return {PyExc_ValueError, "embedded null byte"};
    case Message::AlreadyBorrowed:
      return {PyExc_RuntimeError, "Already borrowed"};
    case Message::AlreadyMutablyBorrowed:
      return {PyExc_RuntimeError, "Already mutably borrowed"};
    case Message::SubInterpreter:
      return {PyExc_ImportError,
              "quorvex cannot be initialised in a sub-interpreter; import it in the main "
              "interpreter first"};
    case Message::InitialisedTwice:
      return {PyExc_ImportError, "quorvex can be initialised only once per process"};
    case Message::SerializationError:
      return {PyExc_RuntimeError, "Serialization error: "};
    case Message::InvalidAidJson:
      return {PyExc_ValueError, "Invalid AID JSON: "};
    case Message::InvalidReceiptLogJson:
      return {PyExc_ValueError, "Invalid receipt log JSON: "};
  }
  return {PyExc_SystemError, "unknown message"};
}

}  // namespace

PyObject* raise_message(Message message) {
  const Wording w = wording(message);
  return raise_error(w.type, w.text);
}

PyObject* raise_message(Message message, std::string_view detail) {
  const Wording w = wording(message);
  std::string text(w.text);
  text += detail;
  return raise_error(w.type, text);
}

std::string core_error_message(const CoreError& error) {
  const Translation t = translation(error.kind());
  return t.prefix + error.display() + t.hint;
}

PyObject* translate_core_error(const CoreError& error) {
  return raise_error(translation(error.kind()).type, core_error_message(error));
}

PyObject* translate_argument_error(const CoreError& error) {
  return raise_error(PyExc_ValueError, error.display());
}

PyObject* translate_violation(const ConstraintViolation& violation) {
  return raise_error(PyExc_ValueError, render_violation(violation));
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

PyObject* raise_error(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(message_text(message));
  if (text) PyErr_SetObject(type, text.get());  // otherwise MemoryError stays set
  return nullptr;
}

PyObject* raise_value_error(std::string_view message) {
  return raise_error(PyExc_ValueError, message);
}

PyObject* raise_type_error(std::string_view message) {
  return raise_error(PyExc_TypeError, message);
}

PyObject* raise_runtime_error(std::string_view message) {
  return raise_error(PyExc_RuntimeError, message);
}

}  // namespace quorvex::py

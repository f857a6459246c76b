#include "errors.hpp"

#include "py_ref.hpp"

namespace quorvex::py {

std::string core_error_message(const CoreError& error) {
  const std::string text = error.display();
  switch (error.kind()) {
    case ErrorKind::VerificationFailed:
      return "VerificationFailedError: " + text + ". Fix: Ensure the correct public key is used.";
    case ErrorKind::InvalidAid:
    case ErrorKind::AidValidation:
      return "InvalidAidError: " + text;
    case ErrorKind::InvalidDat:
      return "InvalidDatError: " + text;
    case ErrorKind::DatExpired:
      return "DatExpiredError: " + text + ". Fix: Issue a new DAT with a later expiration.";
    case ErrorKind::DatNotYetValid:
      return "DatNotYetValidError: " + text +
             ". Fix: Check system clock or wait until the nbf time.";
    case ErrorKind::DatRevoked:
      return "DatRevokedError: " + text + ". Fix: The issuer must issue a new DAT.";
    case ErrorKind::ScopeNotPermitted:
      return "ScopeNotPermittedError: " + text;
    case ErrorKind::ConstraintViolated:
      return "ConstraintViolatedError: " + text;
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
      return "QuorvexError: " + text;
  }
  return "QuorvexError: " + text;
}

PyObject* raise_core_error(const CoreError& error) {
  PyObject* type = PyExc_RuntimeError;
  switch (error.kind()) {
    case ErrorKind::VerificationFailed:
    case ErrorKind::InvalidAid:
    case ErrorKind::AidValidation:
    case ErrorKind::InvalidDat:
    case ErrorKind::DatExpired:
    case ErrorKind::DatNotYetValid:
    case ErrorKind::DatRevoked:
    case ErrorKind::ScopeNotPermitted:
    case ErrorKind::ConstraintViolated:
      type = PyExc_ValueError;
      break;
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
  const std::string message = core_error_message(error);
  PyErr_SetString(type, message.c_str());
  return nullptr;
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

PyObject* raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

PyObject* raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

}  // namespace quorvex::py

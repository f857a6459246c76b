#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "core/base/error.hpp"
#include "core/dat/violation.hpp"

namespace quorvex::py {

// Every ValueError and RuntimeError the module raises carries two attributes on the
// exception object: `code`, a str naming the refusal (a constraint violation's variant
// name, a core error's kind name, kInvalidArgument for the binding's own argument
// checks), and `details`, a dict of the refusal's fields ({} where it has none).

// kInvalidArgument is the code of a refused value the caller passed.
inline constexpr std::string_view kInvalidArgument = "InvalidArgument";

// error_code is the code of a core error: its kind's name.
std::string_view error_code(ErrorKind kind) noexcept;

// translate_core_error sets the Python exception for a core error (ValueError with
// a class-style prefix for the nine user-facing kinds, RuntimeError
// "QuorvexError: ..." for the rest) and returns nullptr. Its code is the kind's
// name; a Serialization error with a position has details {"line": L, "column": C}.
PyObject* translate_core_error(const CoreError& error);

// translate_argument_error raises a core error about a value the caller chose (an Other error
// such as dat::expiry_after's) as a ValueError with its text alone and code InvalidArgument;
// returns nullptr.
PyObject* translate_argument_error(const CoreError& error);

// translate_key_error raises the failure to read a key out of a value the caller handed over
// (an AID's first verification method): Other, a key text that is no key, as
// translate_argument_error; any other kind as translate_core_error. Returns nullptr.
PyObject* translate_key_error(const CoreError& error);

// translate_violation raises a token's constraint violation as a ValueError with its one-line
// form ("ScopeNotCovered", "IpBlocked { ... }"), the variant's name as code and its fields as
// details ({"ip": "10.1.2.3", "reason": "..."}), and returns nullptr.
PyObject* translate_violation(const ConstraintViolation& violation);

// mark_invalid_argument gives the pending exception, when it is a ValueError (such as the
// UnicodeEncodeError of a str holding a lone surrogate), code InvalidArgument and details {}.
void mark_invalid_argument();

// raise_core_text raises error's payload text alone (CoreError::text) as type, with the
// code and details translate_core_error gives it; returns nullptr.
PyObject* raise_core_text(PyObject* type, const CoreError& error);

// Message names each fixed text the binding raises for a check of its own, and
// each fixed prefix it puts before a core error's text.
enum class Message : std::uint8_t {
  PublicKeyLength,
  AttributeNotDeletable,
  SecretKeyLength,
  EmbeddedNullByte,
  AlreadyBorrowed,
  AlreadyMutablyBorrowed,
  SubInterpreter,
  InitialisedTwice,
  SerializationError,     // prefix
  InvalidAidJson,         // prefix
  InvalidReceiptLogJson,  // prefix
};

// raise_message raises the message's exception with its one wording and returns nullptr.
// It allocates nothing of its own, so noexcept code may call it. A ValueError about the
// caller's value has code InvalidArgument; a borrow refused has AlreadyBorrowed.
PyObject* raise_message(Message message);

// raise_message raises the message's exception with its wording followed by detail
// and returns nullptr.
PyObject* raise_message(Message message, std::string_view detail);

// raise_message raises the message's exception with its wording followed by detail,
// with the code and details of the core error cause, and returns nullptr.
PyObject* raise_message(Message message, std::string_view detail, const CoreError& cause);

// core_error_message is the message translate_core_error would use.
std::string core_error_message(const CoreError& error);

// panic_exception is the BaseException subclass internal faults surface as; it
// is created on first use. Returns nullptr (exception set) if that fails.
PyObject* panic_exception();
void raise_panic(const char* what);

// message_text makes a str of UTF-8 text, whole: U+0000 and lone surrogates
// (encoded as by utf8_of) survive; bytes that are no UTF-8 become U+FFFD.
PyObject* message_text(std::string_view text);

// utf8_of is the whole text of a str as UTF-8, lone surrogates encoded as
// their three bytes; "" (no exception set) for anything else.
std::string utf8_of(PyObject* str);

// raise_refusal sets type with message as its only argument, code as its `code` and
// details (a dict; nullptr for {}) as its `details`, and returns nullptr.
PyObject* raise_refusal(PyObject* type, std::string_view message, std::string_view code,
                        PyObject* details = nullptr);

// raise_error sets type with message as its only argument and returns nullptr.
// Every message the module raises goes through here, never through a C string.
// A ValueError gets code InvalidArgument, a RuntimeError code Other, as from
// raise_value_error and raise_runtime_error.
PyObject* raise_error(PyObject* type, std::string_view message);
// raise_value_error refuses a value the caller passed: code InvalidArgument.
PyObject* raise_value_error(std::string_view message);
PyObject* raise_type_error(std::string_view message);
// raise_runtime_error reports a failure of no finer kind: code Other.
PyObject* raise_runtime_error(std::string_view message);

// guarded runs an entry point's body and turns anything thrown into a Python
// exception, so no C++ exception ever reaches the interpreter.
template <typename Result, typename Body>
Result guarded_as(Result on_error, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal fault");
  }
  return on_error;
}

template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  return guarded_as<PyObject*>(nullptr, std::forward<Body>(body));
}

}  // namespace quorvex::py

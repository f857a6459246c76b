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

// translate_core_error sets the Python exception for a core error (ValueError with
// a class-style prefix for the nine user-facing kinds, RuntimeError
// "QuorvexError: ..." for the rest) and returns nullptr.
PyObject* translate_core_error(const CoreError& error);

// translate_argument_error raises a core error about a value the caller chose (an Other error
// such as dat::expiry_after's) as a ValueError with its text alone; returns nullptr.
PyObject* translate_argument_error(const CoreError& error);

// translate_violation raises a token's constraint violation as a ValueError with its one-line
// form ("ScopeNotCovered", "IpBlocked { ... }") and returns nullptr.
PyObject* translate_violation(const ConstraintViolation& violation);

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
// It allocates nothing of its own, so noexcept code may call it.
PyObject* raise_message(Message message);

// raise_message raises the message's exception with its wording followed by detail
// and returns nullptr.
PyObject* raise_message(Message message, std::string_view detail);

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

// raise_error sets type with message as its only argument and returns nullptr.
// Every message the module raises goes through here, never through a C string.
PyObject* raise_error(PyObject* type, std::string_view message);
PyObject* raise_value_error(std::string_view message);
PyObject* raise_type_error(std::string_view message);
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

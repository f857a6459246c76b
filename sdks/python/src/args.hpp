#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding.hpp"
#include "py_ref.hpp"

namespace quorvex::py {

struct Param {
  const char* name;
  bool required;
  bool keyword_only = false;  // keyword-only parameters come last
};

// Signature: the name shown in errors ("KeyPair.sign()") and the parameters.
struct Signature {
  const char* function;
  std::span<const Param> params;
};

// match_args fills slots[i] (borrowed, nullptr when not given) from args and
// kwargs, raising the module's TypeError texts for surplus, unknown, repeated
// or missing arguments. Returns false with the exception set.
bool match_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Converters: each returns nullopt with a Python exception set on failure.
// Argument type errors read "argument '<name>': <conversion error>"; with a
// null name (attribute setters) the conversion error stands alone.

// Utf8 keeps the encoded bytes of a str alive for as long as its view is used.
struct Utf8 {
  PyRef owner;
  std::string_view view;
};
std::optional<Utf8> text_arg(PyObject* obj, const char* name);
std::optional<std::span<const std::uint8_t>> bytes_arg(PyObject* obj, const char* name);
std::optional<std::vector<std::string>> text_list_arg(PyObject* obj, const char* name);
std::optional<std::uint64_t> u64_arg(PyObject* obj, const char* name);
std::optional<std::uint32_t> u32_arg(PyObject* obj, const char* name);
std::optional<std::uint8_t> u8_arg(PyObject* obj, const char* name);
std::optional<std::int64_t> i64_arg(PyObject* obj, const char* name);
std::optional<bool> bool_arg(PyObject* obj, const char* name);
// Arguments that are instances of the module's classes: Shared<T> (binding.hpp).

// absent: an optional parameter not given or given as None.
inline bool absent(PyObject* slot) noexcept { return slot == nullptr || slot == Py_None; }

// conversion_error raises TypeError "argument '<name>': '<type>' object cannot
// be converted to '<expected>'".
void conversion_error(PyObject* obj, const char* name, const char* expected);

PyObject* new_text(std::string_view text);
PyObject* new_bytes(std::span<const std::uint8_t> bytes);

}  // namespace quorvex::py

#pragma once

// Python values of core records in the shape the core's JSON writer gives them:
// a record with a Schema is a dict keyed by its members' JSON names, absent
// members left out; a vector is a list, a text a str, an integer an int. The
// names and the absence rule are the schema's (core/json/schema.hpp), so what
// Python sees matches the token as written.

#include <Python.h>

#include <concepts>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>

#include "args.hpp"
#include "core/json/schema.hpp"
#include "py_ref.hpp"

namespace quorvex::py {

template <typename T>
PyObject* py_value(const T& value);

// record_dict is a new dict of the record's present members (nullptr with the
// exception set on failure).
template <json::HasSchema R>
PyObject* record_dict(const R& record) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  bool ok = true;
  std::apply(
      [&](const auto&... fields) {
        const auto member = [&](const auto& f) {
          const auto& value = record.*(f.member);
          if (!ok || json::is_absent(value)) return;
          PyRef item = PyRef::steal(py_value(value));
          PyRef key = PyRef::steal(item ? new_text(f.name) : nullptr);
          ok = key && PyDict_SetItem(dict.get(), key.get(), item.get()) == 0;
        };
        (member(fields), ...);
      },
      json::Schema<R>::fields);
  return ok ? dict.release() : nullptr;
}

template <typename T>
PyObject* py_value(const T& value) {
  if constexpr (json::IsOptional<T>::value) {
    return py_value(*value);
  } else if constexpr (json::IsVector<T>::value) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < value.size(); ++i) {
      PyObject* item = py_value(value[i]);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
  } else if constexpr (std::same_as<T, std::string>) {
    return new_text(value);
  } else if constexpr (std::same_as<T, bool>) {
    return PyBool_FromLong(value ? 1 : 0);
  } else if constexpr (json::Integer<T> && std::is_signed_v<T>) {
    return PyLong_FromLongLong(value);
  } else if constexpr (json::Integer<T>) {
    return PyLong_FromUnsignedLongLong(value);
  } else {
    static_assert(json::HasSchema<T>, "py_value: no Python form for this member type");
    return record_dict(value);
  }
}

}  // namespace quorvex::py

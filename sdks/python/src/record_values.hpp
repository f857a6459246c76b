#pragma once

// Python values of core records in the shape the core's JSON writer gives them:
// a record with a Schema is a dict keyed by its members' JSON names, absent
// members left out; a vector is a list, a text a str, an integer an int. The
// names and the absence rule are the schema's (core/json/schema.hpp), so what
// Python sees matches the token as written.
//
// record_from_dict reads such a dict back into a record (the inverse of record_dict).

#include <Python.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "args.hpp"
#include "core/base/text.hpp"
#include "core/json/schema.hpp"
#include "errors.hpp"
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

// A Python value read into a member: the names in its errors are the member's path from the
// argument, "constraints.timeWindows[0].end_hour".

template <typename T>
bool from_py(PyObject* obj, const std::string& path, T& out);

// path_error rewraps an OverflowError from a converter (an int outside the member's type) as
// "argument '<path>': <message>", as the converters do with a TypeError.
inline void path_error(const std::string& path) {
  if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), tb = PyRef::steal(traceback);
  PyRef text = PyRef::steal(v ? PyObject_Str(v.get()) : nullptr);
  PyErr_Clear();
  raise_error(PyExc_OverflowError, "argument '" + path + "': " + utf8_of(text.get()));
}

template <typename T>
bool from_py_converted(std::optional<T> converted, const std::string& path, T& out) {
  if (!converted) {
    path_error(path);
    return false;
  }
  out = std::move(*converted);
  return true;
}

// record_from_dict fills record from a dict keyed by its members' JSON names. A key that is
// no member's name, and a member that may not be absent but is missing (or None), are a
// ValueError; None for a member that may be absent leaves it absent. Returns false with the
// exception set.
template <json::HasSchema R>
bool record_from_dict(PyObject* obj, const std::string& path, R& record) {
  if (!PyDict_Check(obj)) {
    conversion_error(obj, path.c_str(), "PyDict");
    return false;
  }
  // A copy of the items: converting a value may run Python code that changes the dict.
  PyRef items = PyRef::steal(PyDict_Items(obj));
  if (!items) return false;
  constexpr auto& infos = json::field_infos<R>;
  std::array<bool, infos.size()> given{};
  const Py_ssize_t count = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);  // borrowed: items holds it
    PyObject* key = PyTuple_GetItem(item, 0);
    PyObject* value = PyTuple_GetItem(item, 1);
    if (!PyUnicode_Check(key)) {
      conversion_error(key, path.c_str(), "PyString");
      return false;
    }
    const std::string name = utf8_of(key);
    const std::size_t index = json::find_field(infos, name, 0);
    if (index == json::kNoField) {
      std::string message = path + " has no member ";
      append_debug_excerpt(message, name);
      message += " (its members: ";
      for (const json::FieldInfo& info : infos) {
        message.append(&info == infos.data() ? "" : ", ").append(info.name);
      }
      message += ")";
      raise_value_error(message);
      return false;
    }
    if (value == Py_None) continue;
    given[index] = true;
    bool converted = true;
    std::size_t at = 0;
    std::apply(
        [&](const auto&... fields) {
          const auto member = [&](const auto& f) {
            if (at++ != index) return;
            converted = from_py(value, path + "." + std::string(f.name), record.*(f.member));
          };
          (member(fields), ...);
        },
        json::Schema<R>::fields);
    if (!converted) return false;
  }
  for (std::size_t i = 0; i < infos.size(); ++i) {
    if (infos[i].optional || given[i]) continue;
    raise_value_error(path + " must have \"" + std::string(infos[i].name) + "\"");
    return false;
  }
  return true;
}

template <typename T>
bool from_py(PyObject* obj, const std::string& path, T& out) {
  if constexpr (json::IsOptional<T>::value) {
    if (obj == Py_None) {
      out.reset();
      return true;
    }
    return from_py(obj, path, out.emplace());
  } else if constexpr (std::same_as<T, std::vector<std::string>>) {
    return from_py_converted(text_list_arg(obj, path.c_str()), path, out);
  } else if constexpr (json::IsVector<T>::value) {
    // Lists and tuples, as text_list_arg takes them.
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
      conversion_error(obj, path.c_str(), "Sequence");
      return false;
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    out.clear();
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
      const std::string item_path = path + "[" + std::to_string(out.size()) + "]";
      if (!from_py(item.get(), item_path, out.emplace_back())) return false;
    }
    return PyErr_Occurred() == nullptr;
  } else if constexpr (std::same_as<T, std::string>) {
    auto text = text_arg(obj, path.c_str());
    if (!text) return false;
    out.assign(text->view);
    return true;
  } else if constexpr (std::same_as<T, bool>) {
    return from_py_converted(bool_arg(obj, path.c_str()), path, out);
  } else if constexpr (std::same_as<T, std::uint64_t>) {
    return from_py_converted(u64_arg(obj, path.c_str()), path, out);
  } else if constexpr (std::same_as<T, std::uint32_t>) {
    return from_py_converted(u32_arg(obj, path.c_str()), path, out);
  } else if constexpr (std::same_as<T, std::uint8_t>) {
    return from_py_converted(u8_arg(obj, path.c_str()), path, out);
  } else {
    static_assert(json::HasSchema<T>, "from_py: no conversion from Python for this member type");
    return record_from_dict(obj, path, out);
  }
}

}  // namespace quorvex::py

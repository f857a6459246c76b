#include "args.hpp"

#include <string>

namespace quorvex::py {

namespace {

std::string quoted_names(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() == 2) {
        out += " and ";
      } else if (i + 1 == names.size()) {
        out += ", and ";
      } else {
        out += ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// positional_count is the number of parameters that may be given by position.
std::size_t positional_count(const Signature& sig) {
  std::size_t count = 0;
  while (count < sig.params.size() && !sig.params[count].keyword_only) ++count;
  return count;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const std::size_t positional = positional_count(sig);
  std::size_t required = 0;
  for (std::size_t i = 0; i < positional; ++i) required += sig.params[i].required ? 1 : 0;
  std::string message = sig.function;
  if (required == positional) {
    message += " takes " + std::to_string(positional);
  } else {
    message += " takes from " + std::to_string(required) + " to " + std::to_string(positional);
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was" : " were") + " given";
  raise_type_error(message);
  return false;
}

// Rewraps a TypeError raised while converting an argument as
// "argument '<name>': <message>"; other exceptions pass through.
void prefix_type_error(const char* name) {
  if (name == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), tb = PyRef::steal(traceback);
  PyRef text = PyRef::steal(v ? PyObject_Str(v.get()) : nullptr);
  PyErr_Clear();
  raise_type_error(std::string("argument '") + name + "': " + utf8_of(text.get()));
}

// index_of returns the int behind obj (through __index__), or an empty
// reference with a TypeError naming the argument.
PyRef index_of(PyObject* obj, const char* name) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) prefix_type_error(name);
  return index;
}

template <typename T>
std::optional<T> unsigned_arg(PyObject* obj, const char* name, const char* c_type) {
  PyRef index = index_of(obj, name);
  if (!index) return std::nullopt;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  if (value > static_cast<unsigned long long>(static_cast<T>(-1))) {
    PyErr_Format(PyExc_OverflowError, "Python int too large to convert to C %s", c_type);
    return std::nullopt;
  }
  return static_cast<T>(value);
}

}  // namespace

bool match_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const std::size_t count = sig.params.size();
  for (std::size_t i = 0; i < count; ++i) slots[i] = nullptr;
  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > positional_count(sig)) {
    return too_many_positional(sig, given);
  }
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        raise_type_error(std::string(sig.function) + " keywords must be strings");
        return false;
      }
      // Whole texts: "message\0junk" is not "message".
      const std::string key_text = utf8_of(key);
      std::size_t index = count;
      for (std::size_t i = 0; i < count; ++i) {
        if (key_text == sig.params[i].name) {
          index = i;
          break;
        }
      }
      if (index == count) {
        raise_type_error(std::string(sig.function) + " got an unexpected keyword argument '" +
                         key_text + "'");
        return false;
      }
      if (slots[index] != nullptr) {
        raise_type_error(std::string(sig.function) + " got multiple values for argument '" +
                         key_text + "'");
        return false;
      }
      slots[index] = value;
    }
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < count; ++i) {
    if (sig.params[i].required && slots[i] == nullptr) missing.push_back(sig.params[i].name);
  }
  if (!missing.empty()) {
    raise_type_error(std::string(sig.function) + " missing " + std::to_string(missing.size()) +
                     " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                     quoted_names(missing));
    return false;
  }
  return true;
}

std::string type_name_of(PyObject* obj) {
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  return utf8_of(name.get());
}

void conversion_error(PyObject* obj, const char* name, const char* expected) {
  std::string message = name ? std::string("argument '") + name + "': " : std::string();
  message += "'" + type_name_of(obj) + "' object cannot be converted to '" + expected + "'";
  raise_type_error(message);
}

std::optional<Utf8> text_arg(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    conversion_error(obj, name, "PyString");
    return std::nullopt;
  }
  PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(obj));
  if (!encoded) {
    mark_invalid_argument();  // a lone surrogate: UnicodeEncodeError
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) != 0) return std::nullopt;
  std::string_view view(data, static_cast<std::size_t>(size));
  return Utf8{std::move(encoded), view};
}

std::optional<std::span<const std::uint8_t>> bytes_arg(PyObject* obj, const char* name) {
  if (!PyBytes_Check(obj)) {
    conversion_error(obj, name, "PyBytes");
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) return std::nullopt;
  return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data),
                                       static_cast<std::size_t>(size));
}

std::optional<std::vector<std::string>> text_list_arg(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) {
    raise_type_error(std::string("argument '") + name +
                     "': a str is not accepted as a list of str; pass [\"...\"] instead");
    return std::nullopt;
  }
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    conversion_error(obj, name, "Sequence");
    return std::nullopt;
  }
  // Iterated rather than sized: a list subclass's __len__ may say anything.
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return std::nullopt;
  std::vector<std::string> out;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    auto text = text_arg(item.get(), name);
    if (!text) return std::nullopt;
    out.emplace_back(text->view);
  }
  if (PyErr_Occurred()) return std::nullopt;
  return out;
}

std::optional<std::uint64_t> u64_arg(PyObject* obj, const char* name) {
  return unsigned_arg<std::uint64_t>(obj, name, "unsigned long long");
}

std::optional<std::uint32_t> u32_arg(PyObject* obj, const char* name) {
  return unsigned_arg<std::uint32_t>(obj, name, "unsigned int");
}

std::optional<std::uint8_t> u8_arg(PyObject* obj, const char* name) {
  return unsigned_arg<std::uint8_t>(obj, name, "unsigned char");
}

std::optional<std::int64_t> i64_arg(PyObject* obj, const char* name) {
  PyRef index = index_of(obj, name);
  if (!index) return std::nullopt;
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

std::optional<bool> bool_arg(PyObject* obj, const char* name) {
  if (!PyBool_Check(obj)) {
    conversion_error(obj, name, "PyBool");
    return std::nullopt;
  }
  return obj == Py_True;
}

PyObject* new_text(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_bytes(std::span<const std::uint8_t> bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

}  // namespace quorvex::py

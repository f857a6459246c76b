#pragma once

#include <Python.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "py_ref.hpp"

// QV_METHOD(f) is f as the PyCFunction a method table holds. Methods taking
// keywords have a third parameter; the cast through void (*)() keeps g++'s
// -Wcast-function-type quiet.
#define QV_METHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

namespace quorvex::py {

// How a class comes to be and how its methods reach its value:
//   make_class<T>(spec)      makes the Python class wrapping core type T (one class per T);
//   wrap(value)              moves a T into a new instance of that class;
//   Shared<T> v(self)        checks self (class and built value) and borrows the value to read;
//   Exclusive<T> v(self)     the same, borrowing it to write;
//   Shared<T> v(obj, "name") the same for an argument, naming it in the TypeError.
// Nothing else reaches an instance's value.

// BorrowFlag tracks the borrows of one object's core value: a count of shared
// borrows, or -1 while it is borrowed for writing.
struct BorrowFlag {
  Py_ssize_t state = 0;
};

// Boxed<T> is the layout of every instance. tp_alloc hands out zeroed memory,
// so `built` stays false and `value` unconstructed until wrap() has built it: an
// instance made another way (a replaced __new__ calling object.__new__) holds
// no value, and no method or dealloc touches one.
template <typename T>
struct Boxed {
  PyObject_HEAD BorrowFlag borrow;
  bool built;
  union {
    T value;
  };
};

// ClassOf<T> is the class make_class<T> made for T.
template <typename T>
struct ClassOf {
  static inline PyTypeObject* type = nullptr;  // one strong reference, kept for the process
  static inline const char* name = nullptr;    // "KeyPair"
};

namespace detail {

template <typename T>
Boxed<T>* boxed(PyObject* self) noexcept {
  return reinterpret_cast<Boxed<T>*>(self);
}

// Raise "'<type of obj>' object cannot be converted to '<class_name>'" and
// "<class_name> object is not initialized", prefixed "argument '<arg_name>': "
// when arg_name is given.
void raise_wrong_class(PyObject* obj, const char* class_name, const char* arg_name);
void raise_not_built(const char* class_name, const char* arg_name);
bool borrow_shared(BorrowFlag& flag) noexcept;
bool borrow_exclusive(BorrowFlag& flag) noexcept;
void raise_unregistered();

// instance_of is obj as an instance of T's class whose value was built, or
// nullptr with TypeError set.
template <typename T>
Boxed<T>* instance_of(PyObject* obj, const char* arg_name) {
  const char* name = ClassOf<T>::name;
  if (obj == nullptr || ClassOf<T>::type == nullptr || Py_TYPE(obj) != ClassOf<T>::type) {
    raise_wrong_class(obj, name, arg_name);
    return nullptr;
  }
  Boxed<T>* box = boxed<T>(obj);
  if (!box->built) {
    raise_not_built(name, arg_name);
    return nullptr;
  }
  return box;
}

}  // namespace detail

// Borrow<T, exclusive> checks an instance and borrows its value for its own
// scope; test it before use (false: TypeError or RuntimeError is set).
template <typename T, bool kExclusive>
class Borrow {
 public:
  using Ref = std::conditional_t<kExclusive, T&, const T&>;
  using Ptr = std::conditional_t<kExclusive, T*, const T*>;

  explicit Borrow(PyObject* obj, const char* arg_name = nullptr) {
    Boxed<T>* box = detail::instance_of<T>(obj, arg_name);
    if (box == nullptr) return;
    const bool borrowed =
        kExclusive ? detail::borrow_exclusive(box->borrow) : detail::borrow_shared(box->borrow);
    if (borrowed) box_ = box;
  }
  ~Borrow() {
    if (box_ == nullptr) return;
    if constexpr (kExclusive) {
      box_->borrow.state = 0;
    } else {
      --box_->borrow.state;
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow(Borrow&&) = delete;
  Borrow& operator=(Borrow&&) = delete;

  explicit operator bool() const noexcept { return box_ != nullptr; }
  Ref operator*() const noexcept { return box_->value; }
  Ptr operator->() const noexcept { return &box_->value; }

 private:
  Boxed<T>* box_ = nullptr;
};

template <typename T>
using Shared = Borrow<T, false>;
template <typename T>
using Exclusive = Borrow<T, true>;

namespace detail {

// restore_lock takes the interpreter lock back. A shutting-down interpreter ends
// a daemon thread inside PyEval_RestoreThread by unwinding it (pthread_exit, the
// only thing that can leave that call here); that would run our destructors
// without the lock and stop at a noexcept frame (std::terminate), so the thread
// is parked instead until the process exits.
inline void restore_lock(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {  // by reference the forced unwind binds to null, which UBSan reports
    for (;;) pause();
  }
}

}  // namespace detail

// without_gil runs f with the interpreter lock released and returns its result
// once the lock is held again; whatever f throws is rethrown after that. f may
// touch no Python object and no borrow count: convert, copy and pin arguments
// first, and keep the Borrow alive around the call so it is released under the
// lock. Other threads change a shared borrow's count meanwhile, always under the
// lock, and no exclusive borrow can start while it is held.
template <typename F>
auto without_gil(F&& f) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  std::exception_ptr fault;
  PyThreadState* state = PyEval_SaveThread();
  if constexpr (std::is_void_v<R>) {
    try {
      f();
    } catch (...) {
      fault = std::current_exception();
    }
    detail::restore_lock(state);
    if (fault) std::rethrow_exception(fault);
  } else {
    std::optional<R> result;
    try {
      result.emplace(f());
    } catch (...) {
      fault = std::current_exception();
    }
    detail::restore_lock(state);
    if (fault) std::rethrow_exception(fault);
    return std::move(*result);
  }
}

// A token or document of common size parses in a microsecond or two: less than
// handing the lock to a waiting thread and back costs. Texts of this many bytes
// or more are parsed without it.
constexpr std::size_t kParseWithoutLockFrom = 8192;

// wrap moves a core value into a new instance of its class (nullptr with the
// exception set on failure).
template <typename T>
PyObject* wrap(T&& value) {
  using U = std::remove_cvref_t<T>;
  PyTypeObject* type = ClassOf<U>::type;
  if (type == nullptr) {
    detail::raise_unregistered();
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef obj = PyRef::steal(alloc(type, 0));
  if (!obj) return nullptr;
  Boxed<U>* box = detail::boxed<U>(obj.get());
  box->borrow = BorrowFlag{};
  new (&box->value) U(std::forward<T>(value));  // if this throws, dealloc finds nothing built
  box->built = true;
  return obj.release();
}

template <typename T>
void boxed_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  Boxed<T>* box = detail::boxed<T>(self);
  if (box->built) box->value.~T();  // a key pair wipes its seed here
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // each instance holds a reference to its heap type
}

// ClassSpec describes one class; make_class builds its heap type
// "builtins.<name>": final, without __dict__ or weak references, with identity
// equality and hashing.
struct ClassSpec {
  const char* qualified_name;  // "builtins.KeyPair", static storage
  const char* doc;             // may begin with the constructor's text signature
  bool doc_is_signature_only;  // __doc__ is None, only __text_signature__ is set
  newfunc tp_new;              // nullptr: "No constructor defined for <name>"
  PyMethodDef* methods;
  PyGetSetDef* getset;
  reprfunc repr;
  reprfunc str;
  lenfunc length = nullptr;  // __len__
};

PyTypeObject* make_type(const ClassSpec& spec, int basicsize, destructor dealloc);

// make_class makes the class wrapping T and records it in ClassOf<T>; returns
// a borrowed reference (nullptr with the exception set on failure).
template <typename T>
PyTypeObject* make_class(const ClassSpec& spec) {
  PyTypeObject* type = make_type(spec, static_cast<int>(sizeof(Boxed<T>)), boxed_dealloc<T>);
  if (type == nullptr) return nullptr;
  PyTypeObject* old = std::exchange(ClassOf<T>::type, type);
  Py_XDECREF(reinterpret_cast<PyObject*>(old));
  const char* dot = std::strrchr(spec.qualified_name, '.');
  ClassOf<T>::name = dot != nullptr ? dot + 1 : spec.qualified_name;
  return type;
}

// type_name_of is the name Python shows for the type of obj ("str", "int").
std::string type_name_of(PyObject* obj);

// Class factories, one per class, called in registration order.
PyTypeObject* make_keypair_type();
PyTypeObject* make_trust_level_type();
PyTypeObject* make_evaluation_context_type();
PyTypeObject* make_dat_type();
PyTypeObject* make_scope_type();
PyTypeObject* make_aid_type();
PyTypeObject* make_aid_builder_type();
PyTypeObject* make_receipt_log_type();
PyTypeObject* make_agent_identity_type();

}  // namespace quorvex::py

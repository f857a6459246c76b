#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "errors.hpp"
#include "py_ref.hpp"

namespace quorvex::py {

// BorrowFlag tracks the borrows of one object's core value: a count of shared
// borrows, or -1 while it is borrowed for writing.
struct BorrowFlag {
  Py_ssize_t state = 0;
};

// Boxed<T> is the layout of every instance: the object header, its borrow
// flag and the one core value it owns.
template <typename T>
struct Boxed {
  PyObject_HEAD BorrowFlag borrow;
  T value;
};

template <typename T>
Boxed<T>* boxed(PyObject* self) noexcept {
  return reinterpret_cast<Boxed<T>*>(self);
}

// SharedBorrow and ExclusiveBorrow hold a borrow for their scope; check ok()
// after constructing (a failed borrow leaves RuntimeError set).
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(flag) {
    if (flag_.state < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++flag_.state;
    ok_ = true;
  }
  ~SharedBorrow() {
    if (ok_) --flag_.state;
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow(SharedBorrow&&) = delete;
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  bool ok() const noexcept { return ok_; }

 private:
  BorrowFlag& flag_;
  bool ok_ = false;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(flag) {
    if (flag_.state != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    flag_.state = -1;
    ok_ = true;
  }
  ~ExclusiveBorrow() {
    if (ok_) flag_.state = 0;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow(ExclusiveBorrow&&) = delete;
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  bool ok() const noexcept { return ok_; }

 private:
  BorrowFlag& flag_;
  bool ok_ = false;
};

// wrap moves a core value into a new instance of type.
template <typename T>
PyObject* wrap(PyTypeObject* type, T&& value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* box = boxed<std::remove_cvref_t<T>>(obj);
  new (&box->borrow) BorrowFlag();
  new (&box->value) std::remove_cvref_t<T>(std::forward<T>(value));
  return obj;
}

template <typename T>
void boxed_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  boxed<T>(self)->value.~T();  // a key pair wipes its seed here
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // each instance holds a reference to its heap type
}

// ClassSpec describes one class; make_class builds its heap type
// "builtins.<name>": final, without __dict__ or weak references, with identity
// equality and hashing.
struct ClassSpec {
  const char* qualified_name;  // "builtins.KeyPair"
  const char* doc;             // may begin with the constructor's text signature
  bool doc_is_signature_only;  // __doc__ is None, only __text_signature__ is set
  int basicsize;
  destructor dealloc;
  newfunc tp_new;  // nullptr: "No constructor defined for <name>"
  PyMethodDef* methods;
  PyGetSetDef* getset;
  reprfunc repr;
  reprfunc str;
};

PyTypeObject* make_class(const ClassSpec& spec);

// The module's classes, created once at initialisation.
struct Types {
  PyTypeObject* keypair = nullptr;
  PyTypeObject* evaluation_context = nullptr;
  PyTypeObject* dat = nullptr;
  PyTypeObject* scope = nullptr;
  PyTypeObject* trust_level = nullptr;
};
Types& types() noexcept;

// check_receiver raises "'X' object cannot be converted to 'Name'" unless self
// is an instance of type.
bool check_receiver(PyObject* self, PyTypeObject* type, const char* class_name);

// type_name_of is the name Python shows for the type of obj ("str", "int").
std::string type_name_of(PyObject* obj);

// Class factories, one per class, called in registration order.
PyTypeObject* make_keypair_type();
PyTypeObject* make_trust_level_type();
PyTypeObject* make_evaluation_context_type();
PyTypeObject* make_dat_type();
PyTypeObject* make_scope_type();

}  // namespace quorvex::py

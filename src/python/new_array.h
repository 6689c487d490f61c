// NewArray: an array.array made by the binding, written in place.
//
// The batch methods return their numbers as array.array objects whose
// memory the core writes directly, so no result is copied after the search.
//
// Thread safety: create() and release() need the interpreter lock; the
// elements may be written from any thread while the array is held.

#ifndef QUORVEL_PYTHON_NEW_ARRAY_H_
#define QUORVEL_PYTHON_NEW_ARRAY_H_

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>

#include "base/error.h"
#include "python/ref.h"
#include "python/unlocked.h"

namespace quorvel::py {

// A new array.array of `count` zeroed elements of `typecode`, with a
// writable view of its memory held until this object goes.
class NewArray {
 public:
  NewArray(const NewArray&) = delete;
  NewArray& operator=(const NewArray&) = delete;
  NewArray() = default;
  ~NewArray() {
    if (held_ && !interpreter_lock_lost()) PyBuffer_Release(&view_);
  }

  bool create(const char* typecode, std::size_t count, Py_ssize_t itemsize) {
    PyRef module = PyRef::steal(PyImport_ImportModule("array"));
    if (!module) return false;
    PyRef zero = PyRef::steal(Py_BuildValue("[i]", 0));
    if (!zero) return false;
    PyRef one = PyRef::steal(
        PyObject_CallMethod(module.get(), "array", "sO", typecode, zero.get()));
    if (!one) return false;
    // Repeating one element copies in doubling blocks: the cheapest way to
    // get an array of the full size from the public interface.
    array_ = PyRef::steal(
        PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(count)));
    if (!array_) return false;
    if (PyObject_GetBuffer(array_.get(), &view_, PyBUF_WRITABLE) < 0)
      return false;
    held_ = true;
    if (view_.itemsize != itemsize ||
        view_.len != static_cast<Py_ssize_t>(count) * itemsize) {
      panic(std::string("array.array('") + typecode + "') does not have " +
            std::to_string(itemsize) + "-byte items");
    }
    return true;
  }

  template <typename T>
  std::span<T> elements() {
    return {static_cast<T*>(view_.buf),
            static_cast<std::size_t>(view_.len) / sizeof(T)};
  }

  // The array; the view is released first, so the caller may resize it.
  PyObject* release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
    return array_.release();
  }

 private:
  PyRef array_;
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_NEW_ARRAY_H_

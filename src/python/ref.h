// PyRef: the one owner of a strong reference to a Python object.
//
// Every reference the binding takes lives in a PyRef, so that every path out
// of a call, error paths included, releases exactly what it took. A PyRef may
// be empty (it then holds nullptr, typically after a failed C API call).
//
// Thread safety: like the object it refers to; use only with the interpreter
// lock held. The one exception is a thread that the interpreter ends while
// it waits to take the lock back at shutdown (see interpreter_lock_lost()):
// its handles then let go of nothing as the thread unwinds.

#ifndef QUORVEL_PYTHON_REF_H_
#define QUORVEL_PYTHON_REF_H_

#include <Python.h>

#include <utility>

namespace quorvel::py {

namespace detail {
// Set on a thread that the interpreter ended while it asked for the lock
// back. Initial-exec: read on every release of a reference, so it must cost
// a plain load, not a call to find the thread's storage.
[[gnu::tls_model(
    "initial-exec")]] inline constinit thread_local bool lock_lost = false;
}  // namespace detail

// True while this thread unwinds because the interpreter, shutting down,
// ended it instead of handing the lock back. Nothing Python owns may be
// touched then: the thread does not hold the lock, and the objects are being
// torn down by the thread that does. What such a thread held is left to the
// process's end.
inline bool interpreter_lock_lost() { return detail::lock_lost; }

class PyRef {
 public:
  PyRef() = default;

  // Takes over `owned`, a new (strong) reference or nullptr.
  static PyRef steal(PyObject* owned) { return PyRef(owned); }

  // Takes a new strong reference to `borrowed`, which may be nullptr.
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = object_;
    object_ = other.release();
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() {
    if (!interpreter_lock_lost()) Py_XDECREF(object_);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Hands the reference to the caller (for returning to the interpreter or
  // to an API that steals it) and leaves this handle empty.
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* owned) : object_(owned) {}

  PyObject* object_ = nullptr;
};

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_REF_H_

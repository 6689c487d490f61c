// The ReverseGeocoder class as Python sees it.
//
// A heap type named "quorvel.ReverseGeocoder" with Py_TPFLAGS_DEFAULT and
// Py_TPFLAGS_IMMUTABLETYPE: its attributes cannot be set or deleted, it
// cannot be subclassed, is not tracked by the cyclic collector (instances
// hold no Python object that could refer back to them), and has no instance
// __dict__ and no weak references. Each instance owns one immutable core
// geocoder and a borrow counter; every method takes a shared borrow for the
// length of the call.
//
// Thread safety: requires the interpreter lock. Instances are never changed
// after construction, so any number of threads may call methods on one
// instance; the borrow counter is atomic.

#ifndef QUORVEL_PYTHON_CLASS_H_
#define QUORVEL_PYTHON_CLASS_H_

#include <Python.h>

#include <string_view>

#include "geocoder/geocoder.h"

namespace quorvel::py {

// A new str over `text`, which must be valid UTF-8 (as every text the core
// hands out is). NULL with MemoryError raised.
PyObject* new_text(std::string_view text);

// The ReverseGeocoder type object (a borrowed reference kept for the life of
// the process), created on first call. NULL with the error raised when
// CPython cannot create it.
PyTypeObject* geocoder_type();

// The core geocoder of `object`, valid while `object` lives (instances never
// change), or NULL with TypeError raised when `object` is not a
// ReverseGeocoder.
const ReverseGeocoder* geocoder_of(PyObject* object);

// Adds `_loads(data)` to `module`: ReverseGeocoder.loads as a module
// function, which pickle can find by reference (the class, whose __module__
// is "builtins", it cannot), and remembers it for __reduce__. False with the
// error raised.
bool add_unpickler(PyObject* module);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_CLASS_H_

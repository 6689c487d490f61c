// The ReverseGeocoder class as Python sees it.
//
// A heap type named "quorvel.ReverseGeocoder" with Py_TPFLAGS_DEFAULT and
// Py_TPFLAGS_IMMUTABLETYPE: its attributes cannot be set or deleted, it
// cannot be subclassed, is not tracked by the cyclic collector (instances
// hold no Python object that could refer back to them), and has no instance
// __dict__ and no weak references. Each instance owns one immutable core
// geocoder; every method holds a strong reference to the instance for the
// length of the call.
//
// Thread safety: requires the interpreter lock. Instances are never changed
// after construction, so any number of threads may call methods on one
// instance, the lock released or not.

#ifndef QUORVEL_PYTHON_CLASS_H_
#define QUORVEL_PYTHON_CLASS_H_

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "csv/csv.h"
#include "geocoder/geocoder.h"
#include "geocoder/value_index.h"
#include "python/ref.h"

namespace quorvel::py {

// A new str over `text`, which must be valid UTF-8 (as every text the core
// hands out is). NULL with MemoryError raised.
PyObject* new_text(std::string_view text);

// The dict form of a record, as get_nearest_as_dict returns it: `names` (a
// tuple of str, one per column) as keys in column order, one key per distinct
// name, the last field of a repeated name winning. NULL with an error raised.
// A record with more fields than `names` is an internal failure.
PyObject* record_dict(PyObject* names, const csv::Record& fields);

// The distinct names of `columns` (whose strs are `names`), as an instance
// keeps them: sets `*distinct` to a new reference and `*slots` to a new[]
// array giving each column the position of its name in `*distinct`, or
// NULL when no name repeats. False with MemoryError raised.
bool group_column_names(const std::vector<std::string>& columns,
                        PyObject* names, PyRef* distinct,
                        std::unique_ptr<std::uint32_t[]>* slots);

// The ReverseGeocoder type object (a borrowed reference kept for the life of
// the process), created on first call. NULL with the error raised when
// CPython cannot create it.
PyTypeObject* geocoder_type();

// The core geocoder of `object`, valid while `object` lives (instances never
// change), or NULL with TypeError raised when `object` is not a
// ReverseGeocoder.
const ReverseGeocoder* geocoder_of(PyObject* object);

// The per-column value indexes of `where=` that instance `object` keeps,
// valid while `object` lives.
// REQUIRES: geocoder_of(object) succeeds.
ValueIndexCache& where_indexes_of(PyObject* object);

// Adds `_loads(data)` to `module`: ReverseGeocoder.loads as a module
// function, which pickle finds by reference as quorvel._loads, and
// remembers it for __reduce__. False with the error raised.
bool add_unpickler(PyObject* module);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_CLASS_H_

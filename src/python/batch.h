// The batch methods of ReverseGeocoder and the record accessors.
//
// Each function here is the body of one method: it binds and converts the
// arguments, runs the core batch search with the interpreter lock released,
// and builds the Python result with the lock held. The class (class.cpp)
// borrows the instance and passes its geocoder and column-name tuple in.
//
// Within one call, every position that hits the same record shares the same
// str objects (one per line, or one per field), so a result holds at most one
// string per distinct record it names.
//
// Thread safety: requires the interpreter lock on entry; releases it only
// around the search, during which only the held input buffers, private
// output memory and the immutable geocoder are touched.

#ifndef QUORVEL_PYTHON_BATCH_H_
#define QUORVEL_PYTHON_BATCH_H_

#include <Python.h>

#include <cstdint>

#include "geocoder/geocoder.h"
#include "geocoder/value_index.h"

namespace quorvel::py {

// What a batch method needs of the instance it was called on.
struct BatchTarget {
  const ReverseGeocoder& geocoder;
  PyObject* column_names;  // A tuple of str, one per column (borrowed).
  // The distinct column names in column order (a borrowed tuple), and for
  // column i the position of its name in it: column_slots[i], or i itself
  // when column_slots is NULL (no name repeats).
  PyObject* distinct_names;
  const std::uint32_t* column_slots;
  // The instance's per-value indexes for `where=`.
  ValueIndexCache* where_indexes;
};

using BatchMethod = PyObject* (*)(const BatchTarget& target,
                                  PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

// get_nearest_indices(lats, lons, *, return_distance=False, workers=1,
//                     where=None)
PyObject* nearest_indices(const BatchTarget& target, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames);
// get_nearest_as_strings(lats, lons, *, workers=1, where=None)
PyObject* nearest_as_strings(const BatchTarget& target, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);
// get_nearest_as_dicts(lats, lons, *, workers=1, where=None)
PyObject* nearest_as_dicts(const BatchTarget& target, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames);
// get_nearest_as_columns(lats, lons, *, workers=1, where=None)
PyObject* nearest_as_columns(const BatchTarget& target, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);
// get_record_as_string(index)
PyObject* record_as_string(const BatchTarget& target, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames);
// get_record_as_dict(index)
PyObject* record_as_dict(const BatchTarget& target, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames);

// The number of records, for len().
Py_ssize_t record_total(const ReverseGeocoder& geocoder);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_BATCH_H_

// The searches beyond the single nearest record: the k nearest, a distance
// limit, every record within a radius, and records in bulk by number.
//
// get_nearest_indices and the get_nearest_as_* methods (python/batch.cpp)
// bind their own arguments (and search within a distance limit themselves)
// and hand k > 1 over to the functions here; get_indices_within and
// get_records_as_* are whole method bodies, called like the batch methods.
//
// Searches run without the interpreter lock, in slices of positions with a
// look for a pending Ctrl-C between slices, so that a long call stops within
// a fraction of a second and returns nothing.
//
// Thread safety: requires the interpreter lock on entry; releases it only
// around the searches, during which only the held input buffers, private
// output memory and the immutable geocoder are touched.

#ifndef QUORVEL_PYTHON_QUERIES_H_
#define QUORVEL_PYTHON_QUERIES_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "geocoder/batch_search.h"
#include "geocoder/geocoder.h"
#include "python/batch.h"
#include "python/positions.h"

namespace quorvel::py {

// Converts `k`: a positive integer (anything with __index__). False with
// TypeError (not an integer) or ValueError (0 or below) raised, naming the
// argument.
bool convert_k(PyObject* object, std::size_t* out);

// Converts `max_distance_km`: None or +inf for no limit (+inf either way),
// otherwise a non-negative real number. False with TypeError (not a number)
// or ValueError (negative or NaN) raised, naming the argument.
bool convert_max_distance(PyObject* object, double* out);

// The result of get_nearest_indices for k > 1: an n×k memoryview of uint32
// record numbers (each record of a group at one position counted), or with
// `return_distance` a tuple of it and an n×k memoryview of float64
// kilometres. A null of an Arrow column is a missing position. NULL with an
// exception raised. REQUIRES: k >= 1; max_km >= 0; the columns have one length.
PyObject* nearest_k_indices(const BatchTarget& target,
                            const PositionColumn& lats,
                            const PositionColumn& lons, std::size_t k,
                            double max_km, bool return_distance,
                            unsigned workers);

// get_indices_within(lats, lons, radius_km, *, return_distance=False,
//                    sort=True, count_only=False, workers=1)
PyObject* indices_within(const BatchTarget& target, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames);
// get_records_as_strings(indices)
PyObject* records_as_strings(const BatchTarget& target, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);
// get_records_as_columns(indices)
PyObject* records_as_columns(const BatchTarget& target, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_QUERIES_H_

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
#include <functional>
#include <span>

#include "base/interrupt.h"
#include "geocoder/duplicates.h"
#include "geocoder/geocoder.h"
#include "geocoder/value_index.h"
#include "python/call_frame.h"
#include "python/positions.h"

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
  // The records at the position of each indexed record that the index does
  // not hold, for the searches that return every record.
  const LazyDuplicates& duplicates;
  // The instance's per-value indexes for `where=`.
  ValueIndexCache* where_indexes;
};

using BatchMethod = PyObject* (*)(const BatchTarget& target,
                                  PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

// get_nearest_indices(lats, lons, *, k=1, max_distance_km=None,
//                     return_distance=False, workers=1, where=None)
PyObject* nearest_indices(const BatchTarget& target, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames);
// get_nearest_as_strings(lats, lons, *, max_distance_km=None, workers=1,
//                        where=None)
PyObject* nearest_as_strings(const BatchTarget& target, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);
// get_nearest_as_dicts(lats, lons, *, max_distance_km=None, workers=1,
//                      where=None)
PyObject* nearest_as_dicts(const BatchTarget& target, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames);
// get_nearest_as_columns(lats, lons, *, max_distance_km=None, workers=1,
//                        where=None)
PyObject* nearest_as_columns(const BatchTarget& target, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);
// get_record_as_string(index)
PyObject* record_as_string(const BatchTarget& target, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames);
// get_record_as_dict(index)
PyObject* record_as_dict(const BatchTarget& target, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames);

// A list of the stored line of each record in `items`, None for kNoRecord;
// a record named more than once shares one str.
// REQUIRES: every item is kNoRecord or below the number of records.
PyObject* strings_of_records(const BatchTarget& target,
                             std::span<const std::uint32_t> items);

// The dict of columns of get_nearest_as_columns for the records in `items`
// (None in every column for kNoRecord).
// REQUIRES: every item is kNoRecord or below the number of records.
PyObject* columns_of_records(const BatchTarget& target,
                             std::span<const std::uint32_t> items);

// `workers`: n >= 1 threads at most, or -1 for every CPU. False with an
// error raised for anything else.
bool convert_workers(PyObject* object, unsigned* out);

// Reads the position arguments of the method `description` names: `lats`
// and `lons` as columns or, when `lons` is NULL or None, `lats` as
// (lat, lon) pairs; None counts as not given. False with an error raised: the
// columns' errors, ValueError for columns of different lengths, and TypeError
// (the binding's "missing ... 'lons'" message, with the forms accepted) when
// `lons` is missing and `lats` is not pairs.
bool read_positions(const FunctionDescription& description, PyObject* lats,
                    PyObject* lons, PositionColumn* lat_column,
                    PositionColumn* lon_column);

// One search over a stretch of positions where neither column changes chunk:
// it writes rows (a record or region per position) and, when not empty,
// squared chords, asking `stop_check` as it goes.
using SegmentSearch = std::function<Status(
    const arrow::PositionSegment& segment, std::span<std::uint32_t> rows,
    std::span<double> squared_chords, StopCheck& stop_check)>;

// Runs `search_segment` on every stretch of the two columns, with the
// interpreter lock released and Ctrl-C checked, so that an Arrow column in
// chunks is read where it lies. Afterwards the chords become kilometres,
// rows beyond `max_km` are dropped (+inf for no limit), and Arrow nulls
// become missing positions. False with an error raised.
// REQUIRES: items (and distances_km unless empty) as long as the columns.
bool search_segments(const PositionColumn& lats, const PositionColumn& lons,
                     double max_km, std::span<std::uint32_t> items,
                     std::span<double> distances_km,
                     const SegmentSearch& search_segment);

// The nearest record of every position, searched with the interpreter lock
// released: items[i] for row i (kNoRecord for a missing position, a null of
// an Arrow column included, and for one farther than `max_km`) and, when
// not empty, distances_km[i] (NaN for a missing position, +inf beyond
// `max_km`). Pass +inf for no limit. False with an error raised.
// REQUIRES: items (and distances_km unless empty) as long as the columns,
// which have one length; max_km >= 0.
bool search_positions(const ReverseGeocoder& geocoder,
                      const PositionColumn& lats, const PositionColumn& lons,
                      unsigned workers, double max_km,
                      std::span<std::uint32_t> items,
                      std::span<double> distances_km);

// The number of records, for len().
Py_ssize_t record_total(const ReverseGeocoder& geocoder);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_BATCH_H_

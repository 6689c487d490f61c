// Batch results as Arrow tables: the ArrowTable type, the methods of
// ReverseGeocoder that return one, and what Regions needs to return one.
//
// An ArrowTable ("quorvel.ArrowTable") holds one immutable result table and
// offers it through the Arrow PyCapsule interface: `__arrow_c_stream__` and
// `__arrow_c_schema__`, which pyarrow, polars, pandas, DuckDB and nanoarrow
// read without copying. It is a type of the module, not a private one, so
// that annotations and isinstance() can name what the methods return; it
// cannot be made from Python. Every stream taken from it shares the table's
// buffers, so it may be read any number of times, and the buffers live until
// the last consumer releases them, whatever happens to the ArrowTable.
//
// Column names never repeat (a consumer such as polars refuses a table whose
// names do): without `fields`, a name that several columns of the geocoder
// share gives one column, holding the last of them, as get_nearest_as_dicts
// and get_nearest_as_columns do; a name given twice in `fields` is refused.
//
// Thread safety: requires the interpreter lock; the table itself is
// immutable and may be exported from any thread.

#ifndef QUORVEL_PYTHON_TABLE_H_
#define QUORVEL_PYTHON_TABLE_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "arrow/table.h"
#include "base/error.h"
#include "python/batch.h"

namespace quorvel::py {

// The column names a `fields` argument chooses from.
struct ColumnNames {
  PyObject* all;  // A tuple of str, one per column (borrowed).
  // The distinct names in column order (a borrowed tuple), and for column i
  // the position of its name in it: slots[i], or i itself when slots is
  // NULL (no name repeats).
  PyObject* distinct;
  const std::uint32_t* slots;
};

// The columns a table shows, as indexes into the columns: every distinct
// name (the last column bearing it) when `fields` is NULL or None, else
// the named ones in the order given. False with TypeError for `fields` that
// is not a sequence of str, ValueError for a name that is no column or is
// given twice, or that takes the distance column's name when `distance`.
bool choose_fields(const ColumnNames& columns, PyObject* fields, bool distance,
                   std::vector<std::size_t>* out);

// A new ArrowTable holding the table built, or NULL with the build's error
// raised.
PyObject* table_or_error(Result<std::shared_ptr<const arrow::Table>> table);

// get_nearest_as_table(lats, lons=None, *, fields=None, distance=False,
//                      max_distance_km=None, workers=1)
PyObject* nearest_as_table(const BatchTarget& target, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames);

// get_records_as_table(indices, *, fields=None)
PyObject* records_as_table(const BatchTarget& target, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames);

// Adds the ArrowTable type to `module`. False with the error raised.
bool add_table_type(PyObject* module);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_TABLE_H_

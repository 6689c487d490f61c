// Reading a column of latitudes or longitudes from a Python object.
//
// Four forms are accepted, tried in this order:
//   - an Arrow column (an object with `__arrow_c_stream__` or
//     `__arrow_c_array__`: pyarrow arrays and chunked arrays, polars Series,
//     nanoarrow arrays) of float64, float32 or integers: read in place, chunk
//     by chunk, a null being a missing position. pandas objects skip this
//     form: their export goes through pyarrow (which may be missing) and
//     copies, while their `__array__` is read in place;
//   - an object exporting a 1-D buffer of float64, float32 or integers in
//     native byte order, with any stride: read in place (the buffer is held,
//     so its exporter cannot resize it, for as long as the column lives);
//     a buffer of other real numbers (half floats, booleans, the other byte
//     order) is converted once to float64 by the object's own astype();
//   - an object with `__array__` (pandas and polars Series, pandas Index):
//     the array it returns is read as above, and kept alive;
//   - any other iterable, and buffers without astype(): each element
//     converted as the scalar lookups convert `lat` and `lon`, into a copy.
// A masked array with masked elements is read as float64 with NaN in their
// place, so that they are missing positions. In an array of Python objects
// (what pandas makes of a column with gaps), None and pandas.NA are missing
// positions too; any other element converts as a scalar would. Complex numbers,
// bytes, bytearray, sets and dicts are refused. Errors name the argument, and
// for an element also its position.
//
// Thread safety: acquiring and destroying need the interpreter lock; once
// acquired, column() may be read from any thread while the column lives.

#ifndef QUORVEL_PYTHON_POSITIONS_H_
#define QUORVEL_PYTHON_POSITIONS_H_

#include <Python.h>

#include <cstddef>
#include <vector>

#include "arrow/number_import.h"
#include "geocoder/batch_search.h"
#include "python/ref.h"

namespace quorvel::py {

class PositionColumn {
 public:
  PositionColumn() = default;
  PositionColumn(const PositionColumn&) = delete;
  PositionColumn& operator=(const PositionColumn&) = delete;
  ~PositionColumn();

  // Reads `object` as the argument called `name`. False with an error
  // raised: TypeError for an object that is not a sequence of numbers (or
  // for an element that is not a number), ValueError for an array that is
  // not one-dimensional, or the element's own conversion error.
  // REQUIRES: called at most once per column.
  bool acquire(PyObject* object, const char* name);

  std::size_t size() const { return size_; }
  // The numbers, unless the column is an Arrow one.
  const NumberColumn& column() const { return column_; }
  // An Arrow column's chunks, or NULL when it is not one.
  const arrow::NumberChunks* arrow_chunks() const {
    return is_arrow_ ? &arrow_ : nullptr;
  }

 private:
  // Takes `object`'s buffer when it has a supported layout. Returns 1 when
  // taken, 2 when it holds numbers to be converted first, 0 when the object
  // should be read element by element, -1 with an error raised.
  int take_buffer(PyObject* object, const char* name);
  // Reads `object` through its buffer, converted to float64 by its own
  // astype() when its numbers are of another kind, else element by element.
  bool take_array(PyObject* object, const char* name);
  // `gaps`: None and pandas.NA are missing positions (an object array).
  bool copy_elements(PyObject* object, const char* name, bool gaps = false);
  // Fills the column from the doubles of `values`.
  void adopt(std::vector<double> values);

  friend int acquire_pairs(PyObject* object, const char* name,
                           PositionColumn* lats, PositionColumn* lons);

  Py_buffer buffer_{};
  bool held_ = false;
  PyRef array_;                // What `__array__` returned, when it was used.
  PyRef converted_;            // A float64 copy, when one was made.
  std::vector<double> copy_;   // Elements read one by one.
  arrow::NumberChunks arrow_;  // An Arrow column's chunks, when it was one.
  bool is_arrow_ = false;
  std::size_t size_ = 0;
  NumberColumn column_;
};

// Raises ValueError unless both columns have the same length.
bool check_same_length(const PositionColumn& lats, const PositionColumn& lons);

// The rows of two columns of one length cut into segments where neither
// changes chunk: one segment unless an Arrow column comes in chunks.
// REQUIRES: lats.size() == lons.size().
std::vector<arrow::PositionSegment> position_segments(
    const PositionColumn& lats, const PositionColumn& lons);

// Reads `object`, the argument called `name`, as (lat, lon) pairs: an n×2
// array of numbers (or an object whose `__array__` gives one), or a
// sequence whose elements are each a sequence of two numbers. Returns 1 with
// both columns filled (copies), 0 when `object` is not of that shape
// (nothing raised, the caller reports what it expected), -1 with an error
// raised for an element that does not convert, naming its position.
// REQUIRES: both columns fresh.
int acquire_pairs(PyObject* object, const char* name, PositionColumn* lats,
                  PositionColumn* lons);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_POSITIONS_H_

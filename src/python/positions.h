// Reading a column of latitudes or longitudes from a Python object.
//
// Three forms are accepted, tried in this order:
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
// place, so that they are missing positions. Complex numbers, bytes,
// bytearray, sets and dicts are refused.
// Errors name the argument, and for an element also its position.
//
// Thread safety: acquiring and destroying need the interpreter lock; once
// acquired, column() may be read from any thread while the column lives.

#ifndef QUORVEL_PYTHON_POSITIONS_H_
#define QUORVEL_PYTHON_POSITIONS_H_

#include <Python.h>

#include <cstddef>
#include <vector>

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
  const NumberColumn& column() const { return column_; }

 private:
  // Takes `object`'s buffer when it has a supported layout. Returns 1 when
  // taken, 2 when it holds numbers to be converted first, 0 when the object
  // should be read element by element, -1 with an error raised.
  int take_buffer(PyObject* object, const char* name);
  // Reads `object` through its buffer, converted to float64 by its own
  // astype() when its numbers are of another kind, else element by element.
  bool take_array(PyObject* object, const char* name);
  bool copy_elements(PyObject* object, const char* name);

  Py_buffer buffer_{};
  bool held_ = false;
  PyRef array_;               // What `__array__` returned, when it was used.
  PyRef converted_;           // A float64 copy, when one was made.
  std::vector<double> copy_;  // Elements read one by one.
  std::size_t size_ = 0;
  NumberColumn column_;
};

// Raises ValueError unless both columns have the same length.
bool check_same_length(const PositionColumn& lats, const PositionColumn& lons);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_POSITIONS_H_

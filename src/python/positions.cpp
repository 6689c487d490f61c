#include "python/positions.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/arrow.h"
#include "python/call_frame.h"
#include "python/errors.h"

namespace quorvel::py {
namespace {

// The element type of a buffer format string, when it is a plain number in
// native byte order. Integer widths come from the item size, which is what
// the exporter lays out whatever letter it uses.
std::optional<NumberFormat> buffer_number_format(const char* format,
                                                 Py_ssize_t itemsize) {
  if (format == nullptr) return NumberFormat::kUInt8;  // Plain bytes.
  const char* f = format;
  if (*f == '@' || *f == '=') {
    ++f;
  } else if (*f == '<' || *f == '>' || *f == '!') {
    const bool little = *f == '<';
    if (little != (std::endian::native == std::endian::little))
      return std::nullopt;
    ++f;
  }
  if (f[0] == '\0' || f[1] != '\0') return std::nullopt;
  const char c = f[0];
  if (c == 'd' && itemsize == 8) return NumberFormat::kFloat64;
  if (c == 'f' && itemsize == 4) return NumberFormat::kFloat32;
  const bool is_signed =
      c == 'b' || c == 'h' || c == 'i' || c == 'l' || c == 'q' || c == 'n';
  const bool is_unsigned =
      c == 'B' || c == 'H' || c == 'I' || c == 'L' || c == 'Q' || c == 'N';
  if (!is_signed && !is_unsigned) return std::nullopt;
  switch (itemsize) {
    case 1:
      return is_signed ? NumberFormat::kInt8 : NumberFormat::kUInt8;
    case 2:
      return is_signed ? NumberFormat::kInt16 : NumberFormat::kUInt16;
    case 4:
      return is_signed ? NumberFormat::kInt32 : NumberFormat::kUInt32;
    case 8:
      return is_signed ? NumberFormat::kInt64 : NumberFormat::kUInt64;
    default:
      return std::nullopt;
  }
}

// The element letter of a buffer format, past its byte-order character.
const char* format_letters(const char* format) {
  if (*format == '@' || *format == '=' || *format == '<' || *format == '>' ||
      *format == '!') {
    return format + 1;
  }
  return format;
}

// Whether a buffer format holds complex numbers.
bool is_complex_format(const char* format) {
  return format != nullptr && *format_letters(format) == 'Z';
}

// Whether a buffer format holds one real number (or boolean) per element,
// in a width or byte order that is not read in place: half floats, long
// doubles, booleans, the other byte order.
bool is_number_format(const char* format) {
  if (format == nullptr) return false;
  const char* f = format_letters(format);
  return f[0] != '\0' && f[1] == '\0' &&
         std::strchr("efdgbBhHiIlLqQnN?", f[0]) != nullptr;
}

bool complex_error(const char* name) {
  set_error(PyExc_TypeError, std::string("argument '") + name +
                                 "': expected real numbers, not complex ones");
  return false;
}

// `object`'s attribute `attribute` (a new reference), or NULL: with an error
// raised when the lookup failed other than by its absence.
PyRef optional_attribute(PyObject* object, const char* attribute) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(object, attribute));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  return value;
}

// When `object` is a masked array (it has `filled` and a non-callable `mask`)
// with at least one element masked: its values as float64, NaN where masked,
// so that those positions are missing rather than answered from the hidden
// data. NULL otherwise, with an error raised only when a call failed.
PyRef unmasked_values(PyObject* object) {
  // A plain ndarray, by far the most common input, is never masked.
  if (!PyObject_CheckBuffer(object) ||
      std::strcmp(Py_TYPE(object)->tp_name, "numpy.ndarray") == 0) {
    return PyRef();
  }
  PyRef mask = optional_attribute(object, "mask");
  if (!mask || PyCallable_Check(mask.get())) return PyRef();
  PyRef filled = optional_attribute(object, "filled");
  if (!filled) return PyRef();
  PyRef any = PyRef::steal(PyObject_CallMethod(mask.get(), "any", nullptr));
  if (!any) return PyRef();
  const int masked = PyObject_IsTrue(any.get());
  if (masked <= 0) return PyRef();
  // float64 first: an integer array cannot hold the NaN.
  PyRef wide =
      PyRef::steal(PyObject_CallMethod(object, "astype", "s", "float64"));
  if (!wide) return PyRef();
  PyRef nan = PyRef::steal(PyFloat_FromDouble(NAN));
  if (!nan) return PyRef();
  return PyRef::steal(
      PyObject_CallMethod(wide.get(), "filled", "O", nan.get()));
}

// Re-raises the pending conversion error of element `index`: a TypeError
// gets the argument and position in its text, any other exception a note.
bool element_error(const char* name, std::size_t index) {
  const std::string where =
      std::string("argument '") + name + "', position " + std::to_string(index);
  PyRef error = fetch_error();
  if (Py_TYPE(error.get()) ==
      reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    raise_prefixed_type_error(error.get(), where);
    return false;
  }
  PyRef note = PyRef::steal(PyUnicode_FromString(where.c_str()));
  if (note) {
    PyRef added = PyRef::steal(
        PyObject_CallMethod(error.get(), "add_note", "O", note.get()));
    if (!added) PyErr_Clear();  // The original error matters more.
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(error.release());
  return false;
}

// Whether `object` comes from pandas, whose Arrow export converts through
// pyarrow instead of lending its memory.
bool is_pandas_object(PyObject* object) {
  // Built-in types keep no dict of their own to look in; the name of a
  // type defined in Python or Cython carries its module.
  if (!(Py_TYPE(object)->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
    return std::strncmp(Py_TYPE(object)->tp_name, "pandas.", 7) == 0;
  }
  PyObject* module =
      PyDict_GetItemString(Py_TYPE(object)->tp_dict, "__module__");
  if (module == nullptr || !PyUnicode_Check(module)) return false;
  const char* text = PyUnicode_AsUTF8(module);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::strncmp(text, "pandas", 6) == 0 &&
         (text[6] == '\0' || text[6] == '.');
}

// Whether `object` is pandas.NA, the missing value of pandas' nullable
// columns, told by its type so that pandas need not be imported.
bool is_pandas_na(PyObject* object) {
  const char* name = Py_TYPE(object)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return std::strcmp(dot == nullptr ? name : dot + 1, "NAType") == 0 &&
         is_pandas_object(object);
}

bool not_a_sequence(PyObject* object, const char* name) {
  set_error(PyExc_TypeError,
            std::string("argument '") + name +
                "': expected a 1-D sequence of numbers, not '" +
                type_qualname(object) + "'");
  return false;
}

}  // namespace

PositionColumn::~PositionColumn() {
  if (held_ && !interpreter_lock_lost()) PyBuffer_Release(&buffer_);
}

int PositionColumn::take_buffer(PyObject* object, const char* name) {
  if (!PyObject_CheckBuffer(object)) return 0;
  // Strides are asked for so that sliced arrays are read in place; an
  // exporter that can only give an indirect layout is read element-wise.
  if (PyObject_GetBuffer(object, &buffer_, PyBUF_RECORDS_RO) < 0) {
    // A TypeError is the exporter saying it has no such buffer; anything
    // else (KeyboardInterrupt, MemoryError...) is the caller's to see.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  held_ = true;
  if (buffer_.ndim != 1) {
    set_error(PyExc_ValueError, std::string("argument '") + name +
                                    "': expected a 1-D sequence, got a " +
                                    std::to_string(buffer_.ndim) + "-d array");
    return -1;
  }
  const std::optional<NumberFormat> format =
      buffer_number_format(buffer_.format, buffer_.itemsize);
  if (!format) {
    const bool complex = is_complex_format(buffer_.format);
    const bool number = is_number_format(buffer_.format);
    PyBuffer_Release(&buffer_);
    held_ = false;
    if (complex) {
      complex_error(name);
      return -1;
    }
    // Half floats, booleans, big-endian data...: rare enough to be
    // converted by the exporter, once, when it can; otherwise element by
    // element.
    return number ? 2 : 0;
  }
  size_ = static_cast<std::size_t>(buffer_.shape[0]);
  column_ = {buffer_.buf, buffer_.strides[0], *format};
  return 1;
}

bool PositionColumn::take_array(PyObject* object, const char* name) {
  int taken = take_buffer(object, name);
  if (taken == 2) {
    PyRef method = optional_attribute(object, "astype");
    if (method) {
      converted_ =
          PyRef::steal(PyObject_CallFunction(method.get(), "s", "float64"));
      if (!converted_) return false;
      taken = take_buffer(converted_.get(), name);
      if (taken == 2) taken = 0;
    } else if (PyErr_Occurred()) {
      return false;
    } else {
      taken = 0;
    }
  }
  if (taken != 0) return taken > 0;
  // An array of Python objects exports no buffer; it is what pandas gives
  // for a column with gaps, marked by None or pandas.NA.
  const bool object_array =
      std::strcmp(Py_TYPE(object)->tp_name, "numpy.ndarray") == 0;
  return copy_elements(object, name, object_array);
}

void PositionColumn::adopt(std::vector<double> values) {
  copy_ = std::move(values);
  size_ = copy_.size();
  column_ = NumberColumn::of(copy_);
}

bool PositionColumn::copy_elements(PyObject* object, const char* name,
                                   bool gaps) {
  if (PyUnicode_Check(object)) return not_a_sequence(object, name);
  PyRef sequence = PyRef::steal(PySequence_Fast(object, ""));
  if (!sequence) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    return not_a_sequence(object, name);
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.get());
  copy_.resize(static_cast<std::size_t>(n));
  // A list may change while an element's __float__ runs, so the size and the
  // items are read afresh at every step.
  for (Py_ssize_t i = 0; i < n && i < PySequence_Fast_GET_SIZE(sequence.get());
       ++i) {
    PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(sequence.get(), i));
    // A complex number (NumPy's included) would lose its imaginary part.
    if (PyComplex_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "must be real number, not %.200s",
                   Py_TYPE(item.get())->tp_name);
      return element_error(name, static_cast<std::size_t>(i));
    }
    double& value = copy_[static_cast<std::size_t>(i)];
    if (gaps && (item.get() == Py_None || is_pandas_na(item.get()))) {
      value = NAN;
      continue;
    }
    if (!convert_double(item.get(), &value)) {
      return element_error(name, static_cast<std::size_t>(i));
    }
  }
  copy_.resize(std::min<std::size_t>(
      copy_.size(),
      static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get()))));
  size_ = copy_.size();
  column_ = NumberColumn::of(copy_);
  return true;
}

bool PositionColumn::acquire(PyObject* object, const char* name) {
  // Each of these iterates, or exports a buffer, but none is a column of
  // numbers: bytes would be read as their byte values, a set or a dict in
  // an order of their own.
  if (PyBytes_Check(object) || PyByteArray_Check(object) ||
      PyAnySet_Check(object) || PyDict_Check(object)) {
    return not_a_sequence(object, name);
  }
  if (!is_pandas_object(object)) {
    const int found = import_number_column(object, name, &arrow_);
    if (found < 0) return false;
    if (found > 0) {
      is_arrow_ = true;
      size_ = static_cast<std::size_t>(arrow_.length());
      return true;
    }
  }
  converted_ = unmasked_values(object);
  if (converted_) return take_array(converted_.get(), name);
  if (PyErr_Occurred()) return false;
  if (PyObject_CheckBuffer(object)) return take_array(object, name);
  PyRef method = optional_attribute(object, "__array__");
  if (method) {
    array_ = PyRef::steal(PyObject_CallNoArgs(method.get()));
    if (!array_) return false;
    return take_array(array_.get(), name);
  }
  if (PyErr_Occurred()) return false;
  return copy_elements(object, name);
}

bool check_same_length(const PositionColumn& lats, const PositionColumn& lons) {
  if (lats.size() == lons.size()) return true;
  set_error(PyExc_ValueError, "lats and lons must have the same length (got " +
                                  std::to_string(lats.size()) + " and " +
                                  std::to_string(lons.size()) + ")");
  return false;
}

namespace {

// The chunks of `column`: its own for an Arrow column, else one chunk over
// its numbers, made in `plain`.
const arrow::NumberChunks& chunks_of(const PositionColumn& column,
                                     arrow::NumberChunks* plain) {
  if (column.arrow_chunks() != nullptr) return *column.arrow_chunks();
  *plain = arrow::NumberChunks::of_column(
      column.column(), static_cast<std::int64_t>(column.size()));
  return *plain;
}

}  // namespace

std::vector<arrow::PositionSegment> position_segments(
    const PositionColumn& lats, const PositionColumn& lons) {
  arrow::NumberChunks plain_lats;
  arrow::NumberChunks plain_lons;
  Result<std::vector<arrow::PositionSegment>> segments = arrow::align_chunks(
      chunks_of(lats, &plain_lats), chunks_of(lons, &plain_lons));
  if (!segments.ok()) panic("position_segments: " + segments.error().message());
  return std::move(segments).value();
}

namespace {

// Element (row, col) of a 2-D buffer of numbers, widened to double.
double buffer_value(const Py_buffer& buffer, NumberFormat format,
                    Py_ssize_t row, Py_ssize_t col) {
  const char* at = static_cast<const char*>(buffer.buf) +
                   row * buffer.strides[0] + col * buffer.strides[1];
  return column_value(NumberColumn{at, 0, format}, 0);
}

// Reads a 2-D buffer with two columns; 0 when `object` has no such buffer.
int pairs_from_buffer(PyObject* object, std::vector<double>* lats,
                      std::vector<double>* lons) {
  if (!PyObject_CheckBuffer(object)) return 0;
  Py_buffer buffer;
  if (PyObject_GetBuffer(object, &buffer, PyBUF_RECORDS_RO) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  const std::optional<NumberFormat> format =
      buffer_number_format(buffer.format, buffer.itemsize);
  int taken = 0;
  if (format && buffer.ndim == 2 && buffer.shape[1] == 2) {
    const Py_ssize_t n = buffer.shape[0];
    lats->resize(static_cast<std::size_t>(n));
    lons->resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      (*lats)[static_cast<std::size_t>(i)] =
          buffer_value(buffer, *format, i, 0);
      (*lons)[static_cast<std::size_t>(i)] =
          buffer_value(buffer, *format, i, 1);
    }
    taken = 1;
  }
  PyBuffer_Release(&buffer);
  return taken;
}

// Whether `item` can be one (lat, lon) pair.
bool is_pair_like(PyObject* item) {
  return !PyUnicode_Check(item) && !PyBytes_Check(item) &&
         PySequence_Check(item) && PySequence_Size(item) == 2;
}

}  // namespace

int acquire_pairs(PyObject* object, const char* name, PositionColumn* lats,
                  PositionColumn* lons) {
  std::vector<double> lat_values;
  std::vector<double> lon_values;
  PyRef array;
  if (!PyObject_CheckBuffer(object)) {
    PyRef method = optional_attribute(object, "__array__");
    if (PyErr_Occurred()) return -1;
    // A pandas DataFrame or polars frame of two columns comes as an n×2
    // array; a plain sequence is read as it stands.
    if (method && !PyList_Check(object) && !PyTuple_Check(object)) {
      array = PyRef::steal(PyObject_CallNoArgs(method.get()));
      if (!array) return -1;
    }
  }
  PyObject* source = array ? array.get() : object;
  int taken = pairs_from_buffer(source, &lat_values, &lon_values);
  if (taken < 0) return -1;
  if (taken == 0) {
    if (PyUnicode_Check(source) || PyBytes_Check(source) ||
        PyAnySet_Check(source) || PyDict_Check(source) ||
        PyObject_CheckBuffer(source)) {
      return 0;
    }
    PyRef sequence = PyRef::steal(PySequence_Fast(source, ""));
    if (!sequence) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
      PyErr_Clear();
      return 0;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.get());
    // The first element decides the shape: a column of numbers is not pairs.
    if (n > 0) {
      const int pair =
          is_pair_like(PySequence_Fast_GET_ITEM(sequence.get(), 0));
      if (PyErr_Occurred()) return -1;
      if (!pair) return 0;
    }
    lat_values.reserve(static_cast<std::size_t>(n));
    lon_values.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
      PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(sequence.get(), i));
      PyRef pair = PyRef::steal(PySequence_Fast(item.get(), ""));
      if (!pair || PySequence_Fast_GET_SIZE(pair.get()) != 2 ||
          PyUnicode_Check(item.get())) {
        PyErr_Clear();
        set_error(PyExc_TypeError, std::string("argument '") + name +
                                       "', position " + std::to_string(i) +
                                       ": expected a (lat, lon) pair, not '" +
                                       type_qualname(item.get()) + "'");
        return -1;
      }
      double lat = 0;
      double lon = 0;
      PyRef lat_item = PyRef::borrow(PySequence_Fast_GET_ITEM(pair.get(), 0));
      PyRef lon_item = PyRef::borrow(PySequence_Fast_GET_ITEM(pair.get(), 1));
      if (!convert_double(lat_item.get(), &lat) ||
          !convert_double(lon_item.get(), &lon)) {
        element_error(name, static_cast<std::size_t>(i));
        return -1;
      }
      lat_values.push_back(lat);
      lon_values.push_back(lon);
    }
  }
  lats->adopt(std::move(lat_values));
  lons->adopt(std::move(lon_values));
  return 1;
}

}  // namespace quorvel::py

#include "python/positions.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>

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
  return copy_elements(object, name);
}

bool PositionColumn::copy_elements(PyObject* object, const char* name) {
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
    if (!convert_double(item.get(), &copy_[static_cast<std::size_t>(i)])) {
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

}  // namespace quorvel::py

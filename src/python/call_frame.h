// The call frame: binding Python arguments to parameters and converting them.
//
// Each entry point describes its parameters once, as static data (a
// FunctionDescription). `bind_arguments` matches positional and keyword
// arguments against it into one slot per parameter, raising CPython-style
// TypeErrors for every mismatch; the `convert_*` functions turn one bound
// argument into the value the core expects. Parameters in `positional` may
// be passed by position or by keyword; those in `keyword_only` by keyword
// only. None is positional-only.
//
// Conversion errors are raised through `argument_error`, which prefixes an
// exact TypeError with the parameter's name and leaves every other exception
// type (ValueError, UnicodeEncodeError, a user's own exception) as it was.
//
// Thread safety: all functions require the interpreter lock; the
// descriptions are immutable.

#ifndef QUORVEL_PYTHON_CALL_FRAME_H_
#define QUORVEL_PYTHON_CALL_FRAME_H_

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace quorvel::py {

// The static signature of one entry point.
struct FunctionDescription {
  const char* class_name;
  const char* function_name;
  std::span<const char* const> positional;  // Every parameter, in order.
  std::size_t required;                     // A prefix of `positional`.
  // Optional parameters after `positional`, passed only by keyword.
  std::span<const char* const> keyword_only = {};

  // Slots that bind_arguments fills: positional, then keyword-only.
  std::size_t slot_count() const {
    return positional.size() + keyword_only.size();
  }

  // "ReverseGeocoder.save()", the name used in binding messages.
  std::string full_name() const;
};

// Binds a vectorcall argument list: `args[0, nargs)` are positional and, when
// `kwnames` is not NULL, `args[nargs + i]` is the value of keyword
// `kwnames[i]`. On success `slots[i]` holds a borrowed reference to the
// argument of parameter i (positional ones first, then keyword-only ones), or
// NULL when it was not given. Returns false with a TypeError raised when the
// arguments do not fit the description.
// REQUIRES: `slots` has description.slot_count() entries.
bool bind_arguments(const FunctionDescription& description,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots);

// As above for an argument tuple and a keyword dictionary (or NULL), the
// form tp_new receives.
bool bind_arguments(const FunctionDescription& description, PyObject* args,
                    PyObject* kwargs, PyObject** slots);

// Re-raises the pending conversion error of parameter `name`: an exception
// of exactly type TypeError becomes a new TypeError "argument '{name}': {it}"
// with the same __cause__; anything else stays as it was. Always returns
// false, so conversions can `return argument_error(...)`.
// REQUIRES: a Python error is pending.
bool argument_error(const char* name);

// Raises TypeError "'{qualname of object's type}' object cannot be converted
// to '{target}'". Always returns false.
bool conversion_type_error(PyObject* object, const char* target);

// A `str` (or subclass) as an owned copy of its UTF-8 form. False with
// TypeError or UnicodeEncodeError raised.
bool convert_text(PyObject* object, std::string* out);

// A one-code-point `str` as that code point. False with TypeError,
// UnicodeEncodeError or ValueError "expected a string of length 1" raised.
bool convert_char(PyObject* object, char32_t* out);

// Exactly True or False, or a NumPy boolean scalar. False with an error
// raised for anything else (integers included).
bool convert_bool(PyObject* object, bool* out);

// Anything PyFloat_AsDouble takes. NaN and infinities pass.
inline bool convert_double(PyObject* object, double* out) {
  // The hot path of every lookup: an exact float is read from the object
  // without the generic conversion's dispatch.
  if (PyFloat_CheckExact(object)) {
    *out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

// The bytes of a bytes-like argument (any object with the buffer protocol:
// bytes, bytearray, memoryview, array.array, a NumPy array...), taken as raw
// memory whatever the item type. The exporter's buffer is held, and so kept
// from being resized, for as long as this view lives; a buffer that is not
// C-contiguous is copied once, in C order.
class ByteView {
 public:
  ByteView() = default;
  ByteView(const ByteView&) = delete;
  ByteView& operator=(const ByteView&) = delete;
  ~ByteView();

  // Takes `object`'s buffer. False with an error raised: TypeError "a
  // bytes-like object is required, not '{type}'" for an object without the
  // buffer protocol, or the exporter's own error.
  // REQUIRES: called at most once per view.
  bool acquire(PyObject* object);

  // The bytes, valid while this view lives.
  std::string_view bytes() const { return bytes_; }

 private:
  Py_buffer buffer_{};
  bool held_ = false;
  std::string copy_;  // Only for a buffer that is not C-contiguous.
  std::string_view bytes_;
};

// A file-system path: anything os.fspath() turns into a `str`, encoded with
// the file-system encoding. False with an error raised: the error of
// os.fspath(), TypeError for a bytes path, the UnicodeEncodeError of an
// unencodable path, or ValueError for an embedded null byte (the operating
// system would silently cut the path there).
bool convert_path(PyObject* object, std::string* out);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_CALL_FRAME_H_

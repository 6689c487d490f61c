// The inputs of ReverseGeocoder.read_csv: the text of a CSV source, and the
// header columns that the caller names for the coordinates.
//
// Thread safety: every function requires the interpreter lock.

#ifndef QUORVEL_PYTHON_CSV_SOURCE_H_
#define QUORVEL_PYTHON_CSV_SOURCE_H_

#include <Python.h>

#include <string>

#include "geocoder/geocoder.h"

namespace quorvel::py {

// The text of `source` as UTF-8, without a byte order mark at its start.
// `source` is a path (a str or an os.PathLike), whose file is read whole, or
// an object with a read() method, called once without arguments, that
// returns str or a bytes-like object. False with an error raised: TypeError
// for any other source or read() result, the OSError subclass that fits the
// operating system's error (with the file name) for a file that cannot be
// read, whatever read() raised, the path conversion's errors, or
// UnicodeDecodeError naming the byte offset, with a note naming the line,
// for bytes that are not UTF-8.
bool read_csv_text(PyObject* source, std::string* text);

// Checks that `lat` and `lon` are each NULL, None or a str; false with
// TypeError raised otherwise.
bool check_column_names(PyObject* lat, PyObject* lon);

// Sets options->lat_column and lon_column from the names `lat` and `lon`
// (each a str, or NULL or None) as they stand in the header of `text`.
// With both left out, each is the one column named like it (case and spaces
// around the name ignored: "lat" or "latitude"; "lon", "lng", "long" or
// "longitude") when both are found so, else the first and the second
// column; with one left out, that one is the first (latitude) or second
// column. When the header cannot be read with
// `value_sep`, the names are left unresolved and the build that follows
// reports why, as it would for the constructor. False with an error raised:
// TypeError for a name that is not a str (see check_column_names), and
// ValueError for a name the header
// lacks (listing the header's names) or holds more than once, and for lat
// and lon that end up on one column.
bool resolve_coordinate_columns(std::string_view text, char32_t value_sep,
                                PyObject* lat, PyObject* lon,
                                BuildOptions* options);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_CSV_SOURCE_H_

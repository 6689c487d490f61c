// The Arrow PyCapsule interface: result tables handed to Python as capsules
// that any Arrow consumer (pyarrow, polars, pandas, DuckDB, nanoarrow) reads
// without copying, and number columns taken from any object that exports
// one (`__arrow_c_stream__` or `__arrow_c_array__`).
//
// A capsule owns the struct it carries. Its destructor releases the struct
// unless a consumer has moved it out (leaving it released), and frees the
// struct's own memory either way, as the interface requires of producers.
// Columns read from an object are moved out of its capsules at once, so they
// stay valid after the capsules are gone, for as long as the NumberChunks.
//
// Thread safety: every function requires the interpreter lock. The capsules'
// contents may be released from any thread.

#ifndef QUORVEL_PYTHON_ARROW_H_
#define QUORVEL_PYTHON_ARROW_H_

#include <Python.h>

#include <memory>

#include "arrow/number_import.h"
#include "arrow/table.h"

namespace quorvel::py {

// A new "arrow_schema" capsule with the schema of `table`, what
// __arrow_c_schema__ returns; NULL with an error raised on failure.
PyObject* arrow_schema_capsule(const arrow::Table& table);

// A new "arrow_array_stream" capsule over the batches of `table`, what
// __arrow_c_stream__ returns; the stream shares the table, so every call
// gives a stream of its own over the same buffers. NULL with an error raised
// on failure.
PyObject* arrow_stream_capsule(std::shared_ptr<const arrow::Table> table);

// A new tuple ("arrow_schema" capsule, "arrow_array" capsule) of the table's
// only batch, what __arrow_c_array__ returns; NULL with an error raised on
// failure. REQUIRES: table.batches().size() == 1.
PyObject* arrow_array_capsules(const arrow::Table& table);

// Reads `object` as a column of numbers through its __arrow_c_stream__ (so a
// chunked column keeps its chunks), else its __arrow_c_array__, in place.
// Returns 1 with *out filled; 0 when the object has neither method (nothing
// is raised, the caller tries other forms); -1 with an error raised:
// TypeError naming the argument `name` for a column that is not of numbers
// or a method that does not return capsules, RuntimeError for a malformed
// column or a failing stream, or whatever the method raised.
int import_number_column(PyObject* object, const char* name,
                         arrow::NumberChunks* out);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_ARROW_H_

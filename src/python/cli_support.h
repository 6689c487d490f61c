// Private functions of quorvel._core that the command line's CSV path runs
// on: a table appender (a capsule owning a PlaceAppender and the geocoder it
// reads) and the call that geocodes one chunk of CSV bytes with it.
//
// Thread safety: every function requires the interpreter lock on entry; the
// chunk call releases it while it splits, searches and writes. One appender
// serves one call at a time: a second call while one runs is a RuntimeError.

#ifndef QUORVEL_PYTHON_CLI_SUPPORT_H_
#define QUORVEL_PYTHON_CLI_SUPPORT_H_

#include <Python.h>

namespace quorvel::py {

// Adds _table_appender, _geocode_table_chunk and _table_first_row to
// `module`. False with the error raised.
bool add_cli_support(PyObject* module);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_CLI_SUPPORT_H_

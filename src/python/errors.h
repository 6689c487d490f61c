// How failures cross into Python.
//
// Three kinds of failure reach the interpreter:
//   - core errors (quorvel::Error): RuntimeError with the error's report
//     text, or ValueError for ErrorKind::kInvalidArgument;
//   - internal failures (quorvel::InternalFailure, thrown by quorvel::panic):
//     quorvel.PanicException (a module attribute), a BaseException
//     subclass, so an ordinary `except Exception` does not swallow a broken
//     invariant;
//   - exceptions raised by Python code the binding called (a user's
//     __float__ or __fspath__), passed on as they are, except that a
//     PanicException coming back that way resumes the internal failure.
//
// `guard_entry` is wrapped around every function the interpreter calls, so no
// C++ exception ever unwinds into the interpreter.
//
// Thread safety: every function here requires the interpreter lock.

#ifndef QUORVEL_PYTHON_ERRORS_H_
#define QUORVEL_PYTHON_ERRORS_H_

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "base/error.h"
#include "python/ref.h"

namespace quorvel::py {

// The PanicException class (a borrowed reference), created on first use and
// kept for the life of the process.
PyObject* panic_exception_type();

// Raises `type` with `message` (UTF-8; invalid bytes become U+FFFD) as its
// single argument.
void set_error(PyObject* type, std::string_view message);

// Raises `error` as RuntimeError, or ValueError for kInvalidArgument, with
// the error's notes attached to the exception in order.
void raise_core_error(const Error& error);

// Attaches `note` (UTF-8) to the pending exception, as add_note() does, so
// that tracebacks show it under the message. The exception stays the one
// pending even if attaching fails.
// REQUIRES: an exception is pending.
void add_note(std::string_view note);

// Raises, in place of `error` (an exception of exactly type TypeError), a
// new TypeError "{prefix}: {str(error)}" with the same __cause__, so that
// the message names what failed to convert and the chain stays intact.
void raise_prefixed_type_error(PyObject* error, std::string_view prefix);

// Takes the pending Python exception (a SystemError when none is pending).
// A pending PanicException is printed with its traceback and resumed: this
// then throws InternalFailure carrying the exception's str().
// REQUIRES: a C API call has just signalled failure.
PyRef fetch_error();

// Prints the pending Python error, if any, and ends the call with the
// internal failure "Python API call failed".
[[noreturn]] void api_call_failed();

// str() of `object` as UTF-8 text for messages: surrogates pass through the
// encoder and every sequence that is then not valid UTF-8 becomes U+FFFD. If
// str() raises, the error is reported as unraisable and a placeholder naming
// the type is returned.
std::string object_text(PyObject* object);

// A debug rendering of a Python exception (or of its absence, for NULL) for
// internal-failure messages: "PyErr { type: .., value: .., traceback: .. }"
// with the repr() of each part.
std::string debug_error_text(PyObject* exception);

// The qualified name of `object`'s type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// Raises the PanicException for an internal failure caught at an entry point.
// A failure while doing so aborts the process.
void raise_internal_failure(std::string_view message) noexcept;

// Raises the Python form of the C++ exception being handled.
// REQUIRES: called from inside a catch block.
void raise_current_exception() noexcept;

// Runs `body` (returning PyObject*) with every C++ exception turned into a
// raised Python exception and NULL, so that nothing unwinds into the
// interpreter. The one unwind let through is the interpreter's own ending of
// the thread at shutdown (see python/unlocked.h), which must go on.
template <typename Body>
PyObject* guard_entry(Body&& body) {
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_ERRORS_H_

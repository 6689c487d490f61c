#include "python/errors.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <source_location>

namespace quorvel::py {
namespace {

// Named after the module that publishes it, so that an internal failure in a
// worker process pickles back to the caller as the same class.
constexpr const char* kPanicExceptionName = "quorvel.PanicException";
constexpr const char* kPanicExceptionDoc =
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr const char* kGenericFailure =
    "native code failed without giving a reason";

std::atomic<PyObject*> panic_type{nullptr};

// Reaching this means the machinery that reports failures is itself broken;
// there is nothing left that could carry the failure to the caller.
[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

// str() of `object` as valid UTF-8, or false with a Python error pending.
bool str_as_utf8(PyObject* object, std::string* out) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) return false;
  // Lone surrogates cannot be encoded strictly; let them through and then
  // replace whatever is not valid UTF-8, so a message never fails to render.
  PyRef raw = PyRef::steal(
      PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!raw) return false;
  PyRef clean = PyRef::steal(PyUnicode_DecodeUTF8(
      PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
  if (!clean) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(clean.get(), &size);
  if (data == nullptr) return false;
  out->assign(data, static_cast<std::size_t>(size));
  return true;
}

std::string repr_text(PyObject* object) {
  if (object == nullptr) return "None";
  PyRef repr = PyRef::steal(PyObject_Repr(object));
  std::string text;
  if (repr && str_as_utf8(repr.get(), &text)) return text;
  PyErr_Clear();
  return "<unrepresentable object>";
}

}  // namespace

std::string debug_error_text(PyObject* exception) {
  PyRef traceback =
      exception ? PyRef::steal(PyException_GetTraceback(exception)) : PyRef();
  return "PyErr { type: " +
         repr_text(exception ? reinterpret_cast<PyObject*>(Py_TYPE(exception))
                             : nullptr) +
         ", value: " + repr_text(exception) +
         ", traceback: " + repr_text(traceback.get()) + " }";
}

PyObject* panic_exception_type() {
  PyObject* type = panic_type.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  PyObject* created = PyErr_NewExceptionWithDoc(
      kPanicExceptionName, kPanicExceptionDoc, PyExc_BaseException, nullptr);
  if (created == nullptr) {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    std::string message = "Failed to initialize new exception type.: " +
                          debug_error_text(error.get());
    std::fprintf(stderr, "quorvel: %s\n", message.c_str());
    abort_at_boundary();
  }
  // Creating the class can run Python code; if another thread won the race
  // meanwhile, its class is the one everybody already sees.
  PyObject* expected = nullptr;
  if (!panic_type.compare_exchange_strong(expected, created,
                                          std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return created;
}

void set_error(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;  // The MemoryError that stopped us stays pending.
  PyErr_SetObject(type, text.get());
}

void raise_core_error(const Error& error) {
  PyObject* type = error.kind() == ErrorKind::kInvalidArgument
                       ? PyExc_ValueError
                       : PyExc_RuntimeError;
  set_error(type, error.report());
  for (const std::string& note : error.notes()) add_note(note);
}

void add_note(std::string_view note) {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) return;
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
      note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
  PyRef added = text ? PyRef::steal(PyObject_CallMethod(
                           exception.get(), "add_note", "O", text.get()))
                     : PyRef();
  // A note only helps to read the exception; failing to attach one (out of
  // memory, an exception type that refuses notes) must not replace it.
  if (!added) PyErr_Clear();
  PyErr_SetRaisedException(exception.release());
}

void raise_prefixed_type_error(PyObject* error, std::string_view prefix) {
  PyRef cause = PyRef::steal(PyException_GetCause(error));
  set_error(PyExc_TypeError, std::string(prefix) + ": " + object_text(error));
  if (cause) {
    PyRef wrapped = PyRef::steal(PyErr_GetRaisedException());
    PyException_SetCause(wrapped.get(), cause.release());
    PyErr_SetRaisedException(wrapped.release());
  }
}

PyRef fetch_error() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) {
    PyErr_SetString(PyExc_SystemError,
                    "attempted to fetch exception but none was set");
    return PyRef::steal(PyErr_GetRaisedException());
  }
  if (Py_TYPE(exception.get()) !=
      reinterpret_cast<PyTypeObject*>(panic_exception_type())) {
    return exception;
  }
  // A PanicException that went out through Python code and came back: the
  // failure it reports is still ours, so it continues as an internal failure
  // instead of being handled as an ordinary Python error.
  std::string message;
  if (!str_as_utf8(exception.get(), &message)) {
    PyErr_Clear();
    message = "Unwrapped panic from Python code";
  }
  std::fputs(
      "quorvel: a PanicException came back from Python code; resuming the "
      "internal failure\nPython stack trace below:\n",
      stderr);
  std::fflush(stderr);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  // Thrown directly rather than through panic(): the diagnostic above
  // already told the story.
  throw InternalFailure(std::move(message), std::source_location::current());
}

void api_call_failed() {
  if (PyErr_Occurred()) PyErr_Print();
  panic("Python API call failed");
}

std::string object_text(PyObject* object) {
  std::string text;
  if (str_as_utf8(object, &text)) return text;
  PyErr_WriteUnraisable(object);
  const char* name = nullptr;
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (type_name) name = PyUnicode_AsUTF8(type_name.get());
  if (name == nullptr) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return std::string("<unprintable ") + name + " object>";
}

std::string type_qualname(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* data =
      name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

void raise_internal_failure(std::string_view message) noexcept {
  try {
    set_error(panic_exception_type(),
              message.empty() ? std::string_view(kGenericFailure) : message);
  } catch (...) {
    abort_at_boundary();
  }
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const InternalFailure& failure) {
    raise_internal_failure(failure.message());
  } catch (const std::bad_alloc&) {
    // Running out of memory is the caller's to handle, as for any other
    // allocation Python makes; it leaves the process usable.
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_internal_failure(failure.what());
  } catch (...) {
    raise_internal_failure(kGenericFailure);
  }
}

}  // namespace quorvel::py

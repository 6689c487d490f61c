// The extension module `quorvel._core`: its one exported symbol,
// PyInit__core. The package `quorvel` re-exports what it defines; the class,
// the exception and the unpickling function all name "quorvel" as their
// module, so pickles and reprs never show the extension's own name.
//
// Single-phase initialisation, once per process: the first interpreter in
// which initialisation succeeds owns the module, every later initialisation in
// that interpreter returns the same module object, and any other interpreter is
// refused, because the type object and the exception class are process-wide.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/call_frame.h"
#include "python/class.h"
#include "python/cli_support.h"
#include "python/errors.h"
#include "python/ref.h"
#include "python/regions_class.h"
#include "python/table.h"

#ifndef QUORVEL_VERSION
#error "QUORVEL_VERSION is set by the build, from the package's version"
#endif

namespace quorvel::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvel._core",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The first interpreter that ran PyInit__core, or -1.
std::atomic<std::int64_t> owning_interpreter{-1};
std::atomic<PyObject*> module_object{nullptr};

constexpr const char* kSubinterpreterMessage =
    "quorvel does not support sub-interpreters: it can only be imported in "
    "the interpreter that first imported it in this process (see "
    "\"Limitations\" in quorvel's README)";

// Publishes the class as `ReverseGeocoder` and lists it in __all__; also
// publishes PanicException and __version__.
bool add_class(PyObject* module) {
  PyTypeObject* type = geocoder_type();
  if (type == nullptr) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all) api_call_failed();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    return conversion_type_error(all.get(), "PyList");
  }
  PyRef name = PyRef::steal(PyUnicode_FromString("ReverseGeocoder"));
  if (!name) return false;
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    panic("could not append __name__ to __all__: " +
          debug_error_text(error.get()));
  }
  if (PyObject_SetAttrString(module, "ReverseGeocoder",
                             reinterpret_cast<PyObject*>(type)) < 0) {
    return false;
  }
  if (PyModule_AddStringConstant(module, "__version__", QUORVEL_VERSION) < 0) {
    return false;
  }
  // Reachable by name (though not part of __all__), so that callers can
  // catch it and pickle can find it.
  if (PyObject_SetAttrString(module, "PanicException", panic_exception_type()) <
      0) {
    return false;
  }
  return add_unpickler(module) && add_cli_support(module) &&
         add_regions(module) && add_table_type(module);
}

// Whether CPython refuses single-phase modules in the running interpreter
// (an isolated sub-interpreter). Before 3.13 it runs the module's
// initialisation first and refuses the module afterwards, so the module has
// to find out for itself, lest a refused interpreter become the owner.
bool refuses_single_phase_modules() {
#if PY_VERSION_HEX < 0x030D0000
  return _PyInterpreterState_HasFeature(
             PyInterpreterState_Get(), Py_RTFLAGS_MULTI_INTERP_EXTENSIONS) != 0;
#else
  return false;  // Refused before the initialisation runs.
#endif
}

PyObject* initialise() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    PyErr_SetRaisedException(fetch_error().release());
    return nullptr;
  }
  const std::int64_t owner = owning_interpreter.load(std::memory_order_acquire);
  if ((owner != -1 && owner != id) ||
      (owner == -1 && refuses_single_phase_modules())) {
    PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
    return nullptr;
  }
  if (owner == id) {
    if (PyObject* existing = module_object.load(std::memory_order_acquire)) {
      return Py_NewRef(existing);
    }
  }
  PyRef module =
      PyRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!module) return nullptr;
  if (!add_class(module.get())) return nullptr;
  // Only an interpreter in which initialisation succeeded becomes the owner:
  // one that failed half way must not lock every other out.
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id,
                                                  std::memory_order_acq_rel) &&
      expected != id) {
    PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
    return nullptr;
  }
  PyObject* stored = nullptr;
  if (!module_object.compare_exchange_strong(stored, module.get(),
                                             std::memory_order_acq_rel)) {
    return Py_NewRef(stored);  // `module` is released on the way out.
  }
  // The process keeps one reference for later initialisations; the caller
  // gets the other.
  return Py_NewRef(module.release());
}

}  // namespace
}  // namespace quorvel::py

PyMODINIT_FUNC PyInit__core() {
  return quorvel::py::guard_entry(quorvel::py::initialise);
}

#include "python/call_frame.h"

#include <cstring>
#include <vector>

#include "python/errors.h"
#include "python/messages.h"
#include "python/ref.h"

namespace quorvel::py {
namespace {

const char* was_or_were(Py_ssize_t count) {
  return count == 1 ? "was" : "were";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(std::span<const char* const> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool too_many_positional(const FunctionDescription& description,
                         Py_ssize_t nargs) {
  // "takes 1 positional arguments" keeps the plural on purpose: callers
  // match these texts exactly.
  std::string message = description.full_name();
  std::size_t n = description.positional.size();
  if (!description.keyword_only.empty()) {
    // Functions with keyword-only parameters say it as the interpreter
    // does, number agreement included: the plural kept below is a contract
    // only of the functions without them.
    message += description.required == n
                   ? " takes " + std::to_string(n) + " positional argument" +
                         (n == 1 ? "" : "s")
                   : " takes from " + std::to_string(description.required) +
                         " to " + std::to_string(n) + " positional arguments";
    message +=
        " but " + std::to_string(nargs) + " " + was_or_were(nargs) + " given";
    set_error(PyExc_TypeError, message);
    return false;
  }
  if (description.required == n) {
    message += " takes " + std::to_string(n) + " positional arguments but ";
  } else {
    message += " takes from " + std::to_string(description.required) + " to " +
               std::to_string(n) + " positional arguments but ";
  }
  message += std::to_string(nargs) + " " + was_or_were(nargs) + " given";
  set_error(PyExc_TypeError, message);
  return false;
}

// Places one keyword argument into its slot.
bool bind_keyword(const FunctionDescription& description, PyObject* name,
                  PyObject* value, PyObject** slots) {
  Py_ssize_t size = 0;
  const char* text =
      PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (text == nullptr) {
    // A name that cannot be read as text matches no parameter.
    PyErr_Clear();
  } else {
    std::string_view key(text, static_cast<std::size_t>(size));
    const std::size_t positional = description.positional.size();
    for (std::size_t i = 0; i < description.slot_count(); ++i) {
      const char* parameter = i < positional
                                  ? description.positional[i]
                                  : description.keyword_only[i - positional];
      if (key != parameter) continue;
      if (slots[i] != nullptr) {
        set_error(PyExc_TypeError, description.full_name() +
                                       " got multiple values for argument '" +
                                       parameter + "'");
        return false;
      }
      slots[i] = value;
      return true;
    }
  }
  set_error(PyExc_TypeError, description.full_name() +
                                 " got an unexpected keyword argument '" +
                                 object_text(name) + "'");
  return false;
}

bool check_required(const FunctionDescription& description, Py_ssize_t nargs,
                    PyObject** slots) {
  if (static_cast<std::size_t>(nargs) >= description.required) return true;
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < description.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(description.positional[i]);
  }
  if (missing.empty()) return true;
  std::size_t count = missing.size();
  set_error(PyExc_TypeError, description.full_name() + " missing " +
                                 std::to_string(count) +
                                 " required positional " +
                                 (count == 1 ? "argument" : "arguments") +
                                 ": " + quoted_list(missing));
  return false;
}

// Copies the positional arguments into the first slots, or fails when there
// are more than parameters. Keywords are looked at only after this check.
bool bind_positional(const FunctionDescription& description,
                     PyObject* const* args, Py_ssize_t nargs,
                     PyObject** slots) {
  std::size_t n = description.positional.size();
  for (std::size_t i = 0; i < description.slot_count(); ++i) slots[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > n) {
    return too_many_positional(description, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  return true;
}

bool is_numpy_bool_type(PyTypeObject* type) {
  PyRef module = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module || !PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    PyErr_Clear();
    return false;
  }
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

std::string FunctionDescription::full_name() const {
  return std::string(class_name) + "." + function_name + "()";
}

bool bind_arguments(const FunctionDescription& description,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
  if (!bind_positional(description, args, nargs, slots)) return false;
  if (kwnames != nullptr) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(description, PyTuple_GET_ITEM(kwnames, i),
                        args[nargs + i], slots)) {
        return false;
      }
    }
  }
  return check_required(description, nargs, slots);
}

bool bind_arguments(const FunctionDescription& description, PyObject* args,
                    PyObject* kwargs, PyObject** slots) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!bind_positional(description, &PyTuple_GET_ITEM(args, 0), nargs, slots)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(description, name, value, slots)) return false;
    }
  }
  return check_required(description, nargs, slots);
}

bool argument_error(const char* name) {
  PyRef error = fetch_error();
  if (Py_TYPE(error.get()) !=
      reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(error.release());
    return false;
  }
  raise_prefixed_type_error(error.get(),
                            std::string("argument '") + name + "'");
  return false;
}

bool conversion_type_error(PyObject* object, const char* target) {
  std::string message = "'";
  message += type_qualname(object);
  message += messages::kCannotConvert;
  message += target;
  message += "'";
  set_error(PyExc_TypeError, message);
  return false;
}

bool convert_text(PyObject* object, std::string* out) {
  if (!PyUnicode_Check(object)) {
    return conversion_type_error(object, messages::kStringTarget);
  }
  // An ASCII string already is its UTF-8 form. Any other would get its UTF-8
  // form cached inside it for as long as the caller keeps it (a second copy
  // of a possibly large text), so it is encoded into a temporary instead.
  if (PyUnicode_IS_ASCII(object)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;
    out->assign(data, static_cast<std::size_t>(size));
    return true;
  }
  PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(object));
  if (!encoded) return false;
  out->assign(PyBytes_AS_STRING(encoded.get()),
              static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

bool convert_char(PyObject* object, char32_t* out) {
  if (!PyUnicode_Check(object)) {
    return conversion_type_error(object, messages::kStringTarget);
  }
  // Encoding first, as for every text argument: a lone surrogate is an
  // encoding error whatever the length.
  if (PyUnicode_AsUTF8AndSize(object, nullptr) == nullptr) return false;
  if (PyUnicode_GET_LENGTH(object) != 1) {
    set_error(PyExc_ValueError, messages::kNotOneCharacter);
    return false;
  }
  *out = static_cast<char32_t>(PyUnicode_READ_CHAR(object, 0));
  return true;
}

bool convert_bool(PyObject* object, bool* out) {
  if (PyBool_Check(object)) {
    *out = object == Py_True;
    return true;
  }
  // NumPy's boolean scalars are what comparisons on arrays give, so they
  // are the one kind of non-bool truth value accepted; integers are not.
  PyTypeObject* type = Py_TYPE(object);
  if (!is_numpy_bool_type(type)) {
    return conversion_type_error(object, messages::kBoolTarget);
  }
  inquiry to_bool = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
  if (to_bool == nullptr) {
    set_error(PyExc_TypeError,
              "object of type '" +
                  object_text(reinterpret_cast<PyObject*>(type)) +
                  "' does not define a '__bool__' conversion");
    return false;
  }
  int truth = to_bool(object);
  if (truth != 0 && truth != 1) return false;
  *out = truth == 1;
  return true;
}

ByteView::~ByteView() {
  if (held_ && !interpreter_lock_lost()) PyBuffer_Release(&buffer_);
}

bool ByteView::acquire(PyObject* object) {
  // Strides and sub-offsets are asked for so that every exporter answers,
  // whatever its layout; only the rare non-contiguous one costs a copy.
  if (PyObject_GetBuffer(object, &buffer_, PyBUF_FULL_RO) < 0) return false;
  held_ = true;
  std::size_t size = static_cast<std::size_t>(buffer_.len);
  if (PyBuffer_IsContiguous(&buffer_, 'C')) {
    bytes_ = std::string_view(static_cast<const char*>(buffer_.buf), size);
    return true;
  }
  copy_.resize(size);
  if (PyBuffer_ToContiguous(copy_.data(), &buffer_, buffer_.len, 'C') < 0) {
    return false;
  }
  bytes_ = copy_;
  return true;
}

bool convert_path(PyObject* object, std::string* out) {
  PyRef path = PyRef::steal(PyOS_FSPath(object));
  if (!path) return false;
  if (!PyUnicode_Check(path.get())) {
    return conversion_type_error(path.get(), messages::kStringTarget);
  }
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return false;
  const char* data = PyBytes_AS_STRING(encoded.get());
  std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
  if (std::memchr(data, '\0', size) != nullptr) {
    set_error(PyExc_ValueError, messages::kEmbeddedNull);
    return false;
  }
  out->assign(data, size);
  return true;
}

}  // namespace quorvel::py

#include "python/arrow.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrow/owned.h"
#include "python/errors.h"
#include "python/ref.h"

namespace quorvel::py {

namespace {

constexpr const char* kSchemaName = "arrow_schema";
constexpr const char* kArrayName = "arrow_array";
constexpr const char* kStreamName = "arrow_array_stream";

// The destructors run whenever Python drops a capsule, possibly with an
// exception pending; PyCapsule_GetPointer with the capsule's own name
// neither fails nor touches that exception.
template <typename Struct>
void capsule_destructor(PyObject* capsule, const char* name) {
  auto* value = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (value == nullptr) return;
  if (value->release != nullptr) value->release(value);
  delete value;
}

void schema_destructor(PyObject* capsule) {
  capsule_destructor<ArrowSchema>(capsule, kSchemaName);
}
void array_destructor(PyObject* capsule) {
  capsule_destructor<ArrowArray>(capsule, kArrayName);
}
void stream_destructor(PyObject* capsule) {
  capsule_destructor<ArrowArrayStream>(capsule, kStreamName);
}

// A capsule that owns `value`: released and freed here when the capsule
// cannot be made.
template <typename Struct>
PyObject* new_capsule(Struct* value, const char* name,
                      PyCapsule_Destructor destructor) {
  PyObject* capsule = PyCapsule_New(value, name, destructor);
  if (capsule == nullptr) {
    value->release(value);
    delete value;
  }
  return capsule;
}

// `object`.`name`, or an empty handle when it has no such attribute; an
// error is raised only when looking it up failed otherwise.
bool optional_attribute(PyObject* object, const char* name, PyRef* out) {
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  const int found = PyObject_GetOptionalAttrString(object, name, &value);
#else
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key) return false;
  const int found = _PyObject_LookupAttr(object, key.get(), &value);
#endif
  *out = PyRef::steal(value);
  return found >= 0;
}

// The struct inside `capsule` if it is a capsule called `name`; otherwise
// NULL with TypeError naming the argument and the method.
template <typename Struct>
Struct* capsule_struct(PyObject* capsule, const char* capsule_name,
                       const char* argument, const char* method) {
  if (!PyCapsule_IsValid(capsule, capsule_name)) {
    PyErr_Format(PyExc_TypeError,
                 "%s: %s() returned %R, not a PyCapsule named \"%s\"", argument,
                 method, capsule, capsule_name);
    return nullptr;
  }
  return static_cast<Struct*>(PyCapsule_GetPointer(capsule, capsule_name));
}

// Raises a core error from reading `argument`: a column of the wrong type is
// the caller's mistake, anything else the producer's.
void raise_import_error(const Error& error, const char* argument) {
  const std::string message = std::string(argument) + ": " + error.message();
  set_error(error.kind() == ErrorKind::kInvalidArgument ? PyExc_TypeError
                                                        : PyExc_RuntimeError,
            message);
}

int read_stream(PyObject* method, const char* name, arrow::NumberChunks* out) {
  PyRef capsule = PyRef::steal(PyObject_CallNoArgs(method));
  if (!capsule) return -1;
  auto* stream = capsule_struct<ArrowArrayStream>(capsule.get(), kStreamName,
                                                  name, "__arrow_c_stream__");
  if (stream == nullptr) return -1;
  if (stream->release == nullptr) {
    PyErr_Format(PyExc_RuntimeError, "%s: the Arrow stream was released", name);
    return -1;
  }
  Result<arrow::NumberChunks> chunks =
      arrow::NumberChunks::from_stream(arrow::OwnedStream::take(stream));
  if (!chunks.ok()) {
    raise_import_error(chunks.error(), name);
    return -1;
  }
  *out = std::move(chunks).value();
  return 1;
}

int read_array(PyObject* method, const char* name, arrow::NumberChunks* out) {
  PyRef pair = PyRef::steal(PyObject_CallNoArgs(method));
  if (!pair) return -1;
  if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
    PyErr_Format(PyExc_TypeError,
                 "%s: __arrow_c_array__() returned %R, not a pair of "
                 "capsules",
                 name, pair.get());
    return -1;
  }
  auto* schema = capsule_struct<ArrowSchema>(
      PyTuple_GET_ITEM(pair.get(), 0), kSchemaName, name, "__arrow_c_array__");
  if (schema == nullptr) return -1;
  auto* array = capsule_struct<ArrowArray>(
      PyTuple_GET_ITEM(pair.get(), 1), kArrayName, name, "__arrow_c_array__");
  if (array == nullptr) return -1;
  if (schema->release == nullptr || array->release == nullptr) {
    PyErr_Format(PyExc_RuntimeError, "%s: the Arrow array was released", name);
    return -1;
  }
  Result<arrow::NumberChunks> chunks = arrow::NumberChunks::from_array(
      arrow::OwnedSchema::take(schema), arrow::OwnedArray::take(array));
  if (!chunks.ok()) {
    raise_import_error(chunks.error(), name);
    return -1;
  }
  *out = std::move(chunks).value();
  return 1;
}

}  // namespace

PyObject* arrow_schema_capsule(const arrow::Table& table) {
  auto* schema = new ArrowSchema;
  arrow::export_schema(table, schema);
  return new_capsule(schema, kSchemaName, schema_destructor);
}

PyObject* arrow_stream_capsule(std::shared_ptr<const arrow::Table> table) {
  auto* stream = new ArrowArrayStream;
  arrow::export_stream(std::move(table), stream);
  return new_capsule(stream, kStreamName, stream_destructor);
}

PyObject* arrow_array_capsules(const arrow::Table& table) {
  if (table.batches().size() != 1) {
    panic("an array export of a table of " +
          std::to_string(table.batches().size()) + " batches");
  }
  PyRef schema = PyRef::steal(arrow_schema_capsule(table));
  if (!schema) return nullptr;
  auto* array = new ArrowArray;
  arrow::export_batch(table, 0, array);
  PyRef capsule =
      PyRef::steal(new_capsule(array, kArrayName, array_destructor));
  if (!capsule) return nullptr;
  return PyTuple_Pack(2, schema.get(), capsule.get());
}

int import_number_column(PyObject* object, const char* name,
                         arrow::NumberChunks* out) {
  PyRef method;
  if (!optional_attribute(object, "__arrow_c_stream__", &method)) return -1;
  if (method) return read_stream(method.get(), name, out);
  if (!optional_attribute(object, "__arrow_c_array__", &method)) return -1;
  if (method) return read_array(method.get(), name, out);
  return 0;
}

}  // namespace quorvel::py

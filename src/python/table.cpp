#include "python/table.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arrow/record_table.h"
#include "python/arrow.h"
#include "python/call_frame.h"
#include "python/docstrings.h"
#include "python/errors.h"
#include "python/positions.h"
#include "python/ref.h"

namespace quorvel::py {
namespace {

constexpr const char* kClassName = "ReverseGeocoder";
constexpr const char* kPositionParameters[] = {"lats", "lons"};
constexpr const char* kNearestKeywords[] = {"fields", "distance",
                                            "max_distance_km", "workers"};
constexpr const char* kIndicesParameters[] = {"indices"};
constexpr const char* kFieldsKeyword[] = {"fields"};
constexpr const char* kStreamParameters[] = {"requested_schema"};

// `lons` is optional in the binding only, as for the other batch methods.
const FunctionDescription kNearestDescription{
    kClassName, "get_nearest_as_table", kPositionParameters, 1,
    kNearestKeywords};
const FunctionDescription kRecordsDescription{
    kClassName, "get_records_as_table", kIndicesParameters, 1, kFieldsKeyword};
const FunctionDescription kStreamDescription{"ArrowTable", "__arrow_c_stream__",
                                             kStreamParameters, 0};

// The record number that marks a row without a record, as
// get_nearest_indices writes it.
constexpr double kNoRecordValue = static_cast<double>(kNoRecord);

struct TableObject {
  PyObject_HEAD
      // Never null once made; shared with every stream exported.
      std::shared_ptr<const arrow::Table>
          table;
};

TableObject* as_table(PyObject* self) {
  return reinterpret_cast<TableObject*>(self);
}

std::atomic<PyTypeObject*> table_type{nullptr};

// Wraps `table` in a new ArrowTable.
PyObject* new_table_object(std::shared_ptr<const arrow::Table> table) {
  PyTypeObject* type = table_type.load(std::memory_order_acquire);
  if (type == nullptr) panic("the ArrowTable type was not created");
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_table(self)->table)
      std::shared_ptr<const arrow::Table>(std::move(table));
  return self;
}

void table_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Consumers may still hold the buffers; they keep their own share.
  as_table(self)->table.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* table_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    // A requested schema may be ignored: the consumer casts if it must, and
    // the columns are already of the types any consumer reads.
    PyObject* slots[1] = {};
    if (!bind_arguments(kStreamDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    return arrow_stream_capsule(as_table(self)->table);
  });
}

PyObject* table_schema(PyObject* self, PyObject* /*unused*/) {
  return guard_entry([&]() -> PyObject* {
    return arrow_schema_capsule(*as_table(self)->table);
  });
}

Py_ssize_t table_length(PyObject* self) {
  return static_cast<Py_ssize_t>(as_table(self)->table->rows());
}

PyObject* table_column_names(PyObject* self, void* /*unused*/) {
  return guard_entry([&]() -> PyObject* {
    const std::vector<arrow::Field>& fields = as_table(self)->table->fields();
    PyRef list =
        PyRef::steal(PyList_New(static_cast<Py_ssize_t>(fields.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      PyObject* name = PyUnicode_DecodeUTF8(
          fields[i].name.data(), static_cast<Py_ssize_t>(fields[i].name.size()),
          "replace");
      if (name == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
  });
}

PyObject* table_repr(PyObject* self) {
  return guard_entry([&]() -> PyObject* {
    PyRef names = PyRef::steal(table_column_names(self, nullptr));
    if (!names) return nullptr;
    return PyUnicode_FromFormat("<quorvel.ArrowTable: %zd rows, columns %R>",
                                table_length(self), names.get());
  });
}

// For each distinct column name (a slot of names.distinct), the last
// column that bears it.
std::vector<std::size_t> last_column_of_names(const ColumnNames& names) {
  const auto columns = static_cast<std::size_t>(PyTuple_GET_SIZE(names.all));
  std::vector<std::size_t> last(
      static_cast<std::size_t>(PyTuple_GET_SIZE(names.distinct)));
  for (std::size_t i = 0; i < columns; ++i) {
    last[names.slots == nullptr ? i : names.slots[i]] = i;
  }
  return last;
}

ColumnNames names_of(const BatchTarget& target) {
  return {target.column_names, target.distinct_names, target.column_slots};
}

}  // namespace

bool choose_fields(const ColumnNames& columns, PyObject* fields, bool distance,
                   std::vector<std::size_t>* out) {
  const std::vector<std::size_t> last = last_column_of_names(columns);
  std::vector<PyObject*> names;  // Borrowed from the tuples or `fields`.
  PyRef sequence;
  if (fields == nullptr || fields == Py_None) {
    *out = last;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(columns.distinct); ++k) {
      names.push_back(PyTuple_GET_ITEM(columns.distinct, k));
    }
  } else {
    if (PyUnicode_Check(fields)) {
      set_error(PyExc_TypeError,
                "argument 'fields': expected a sequence of column names, not "
                "one str (write [name])");
      return false;
    }
    sequence = PyRef::steal(PySequence_Fast(fields, ""));
    if (!sequence) {
      PyErr_Clear();
      set_error(
          PyExc_TypeError,
          "argument 'fields': expected a sequence of column names, not '" +
              type_qualname(fields) + "'");
      return false;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
      PyObject* name = PySequence_Fast_GET_ITEM(sequence.get(), i);
      if (!PyUnicode_Check(name)) {
        set_error(PyExc_TypeError,
                  "argument 'fields', position " + std::to_string(i) +
                      ": expected a str, not '" + type_qualname(name) + "'");
        return false;
      }
      Py_ssize_t slot = -1;
      for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(columns.distinct); ++k) {
        const int equal =
            PyUnicode_Compare(name, PyTuple_GET_ITEM(columns.distinct, k));
        if (equal == 0) {
          slot = k;
          break;
        }
      }
      if (slot < 0) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'fields': %R is not a column; the columns are "
                     "%R",
                     name, columns.all);
        return false;
      }
      for (PyObject* earlier : names) {
        if (earlier == PyTuple_GET_ITEM(columns.distinct, slot)) {
          PyErr_Format(PyExc_ValueError,
                       "argument 'fields': %R is given twice; a table's "
                       "column names must differ",
                       name);
          return false;
        }
      }
      names.push_back(PyTuple_GET_ITEM(columns.distinct, slot));
      out->push_back(last[static_cast<std::size_t>(slot)]);
    }
  }
  if (distance) {
    for (PyObject* name : names) {
      if (PyUnicode_CompareWithASCIIString(name, arrow::kDistanceColumn) == 0) {
        PyErr_Format(PyExc_ValueError,
                     "the geocoder has a column named %R, which the distance "
                     "column would repeat: leave it out with fields=[...]",
                     name);
        return false;
      }
    }
  }
  return true;
}

PyObject* table_or_error(Result<std::shared_ptr<const arrow::Table>> table) {
  if (!table.ok()) {
    raise_core_error(table.error());
    return nullptr;
  }
  return new_table_object(std::move(table).value());
}

namespace {

// `max_distance_km`: None for no limit, else a number >= 0.
bool convert_limit(PyObject* object, double* out) {
  *out = std::numeric_limits<double>::infinity();
  if (object == nullptr || object == Py_None) return true;
  if (!convert_double(object, out)) return argument_error("max_distance_km");
  if (std::isnan(*out) || *out < 0) {
    set_error(
        PyExc_ValueError,
        "argument 'max_distance_km': must be a number >= 0 or None, not " +
            object_text(object));
    return false;
  }
  return true;
}

PyObject* make_table(const BatchTarget& target,
                     std::span<const std::uint32_t> items,
                     arrow::RecordColumns columns) {
  return table_or_error(
      arrow::build_record_table(target.geocoder, items, std::move(columns)));
}

// Row i's record number from value `value` of the indices: kNoRecord for a
// null, NaN or the no-record mark. False with an error raised for a number
// that is not a record number.
bool record_number(double value, std::size_t records, std::size_t row,
                   std::uint32_t* out) {
  if (std::isnan(value) || value == kNoRecordValue) {
    *out = kNoRecord;
    return true;
  }
  if (value != std::floor(value)) {
    set_error(PyExc_ValueError, "argument 'indices', position " +
                                    std::to_string(row) +
                                    ": not a whole number");
    return false;
  }
  if (value < 0 || value >= static_cast<double>(records)) {
    set_error(PyExc_IndexError,
              "argument 'indices', position " + std::to_string(row) +
                  ": record index " +
                  std::to_string(static_cast<long long>(value)) +
                  " is out of range for " + std::to_string(records) +
                  (records == 1 ? " record" : " records"));
    return false;
  }
  *out = static_cast<std::uint32_t>(value);
  return true;
}

PyMethodDef table_methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(table_stream)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, "
     "requested_schema=None)\n--\n\n" QUORVEL_DOC_ARROWTABLE_ARROW_C_STREAM},
    {"__arrow_c_schema__", table_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\n" QUORVEL_DOC_ARROWTABLE_ARROW_C_SCHEMA},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"column_names", table_column_names, nullptr,
     QUORVEL_DOC_ARROWTABLE_COLUMN_NAMES, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* nearest_as_table(const BatchTarget& target, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[6] = {};
  if (!bind_arguments(kNearestDescription, args, nargs, kwnames, slots)) {
    return nullptr;
  }
  bool distance = false;
  if (slots[3] != nullptr && !convert_bool(slots[3], &distance)) {
    argument_error("distance");
    return nullptr;
  }
  double max_km = 0;
  if (!convert_limit(slots[4], &max_km)) return nullptr;
  unsigned workers = 1;
  if (slots[5] != nullptr && !convert_workers(slots[5], &workers)) {
    return nullptr;
  }
  arrow::RecordColumns columns;
  if (!choose_fields(names_of(target), slots[2], distance, &columns.fields)) {
    return nullptr;
  }
  PositionColumn lats;
  PositionColumn lons;
  if (!read_positions(kNearestDescription, slots[0], slots[1], &lats, &lons)) {
    return nullptr;
  }
  std::vector<std::uint32_t> items(lats.size());
  std::vector<double> kilometres;
  if (distance) kilometres.resize(lats.size());
  if (!search_positions(target.geocoder, lats, lons, workers, max_km, items,
                        kilometres)) {
    return nullptr;
  }
  if (distance) columns.distances_km = std::move(kilometres);
  return make_table(target, items, std::move(columns));
}

PyObject* records_as_table(const BatchTarget& target, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2] = {};
  if (!bind_arguments(kRecordsDescription, args, nargs, kwnames, slots)) {
    return nullptr;
  }
  arrow::RecordColumns columns;
  if (!choose_fields(names_of(target), slots[1], false, &columns.fields)) {
    return nullptr;
  }
  // Record numbers are read as any column of numbers is: a list, an array
  // (get_nearest_indices gives array.array), or an Arrow column with nulls.
  PositionColumn indices;
  if (!indices.acquire(slots[0], "indices")) return nullptr;
  std::vector<std::uint32_t> items(indices.size());
  const std::size_t records = target.geocoder.size();
  for (const arrow::PositionSegment& segment :
       position_segments(indices, indices)) {
    for (std::int64_t i = 0; i < segment.lats.length; ++i) {
      const auto row = static_cast<std::size_t>(segment.start + i);
      const double value =
          segment.lats.is_null(i)
              ? NAN
              : column_value(segment.lats.column, static_cast<std::size_t>(i));
      if (!record_number(value, records, row, &items[row])) return nullptr;
    }
  }
  return make_table(target, items, std::move(columns));
}

bool add_table_type(PyObject* module) {
  PyTypeObject* type = table_type.load(std::memory_order_acquire);
  if (type == nullptr) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(QUORVEL_DOC_ARROWTABLE)},
        {Py_tp_methods, table_methods},
        {Py_tp_getset, table_getset},
        {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
        {Py_sq_length, reinterpret_cast<void*>(table_length)},
        {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
        {0, nullptr},
    };
    PyType_Spec definition = {
        "quorvel.ArrowTable",
        static_cast<int>(sizeof(TableObject)),
        0,
        // No tp_new: tables come only from the geocoder's methods.
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    PyObject* created = PyType_FromSpec(&definition);
    if (created == nullptr) return false;
    PyTypeObject* expected = nullptr;
    if (table_type.compare_exchange_strong(
            expected, reinterpret_cast<PyTypeObject*>(created),
            std::memory_order_acq_rel)) {
      type = reinterpret_cast<PyTypeObject*>(created);
    } else {
      Py_DECREF(created);
      type = expected;
    }
  }
  return PyObject_SetAttrString(module, "ArrowTable",
                                reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace quorvel::py

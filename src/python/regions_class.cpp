#include "python/regions_class.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow/record_table.h"
#include "geocoder/region_batch.h"
#include "persist/regions_file.h"
#include "python/batch.h"
#include "python/call_frame.h"
#include "python/class.h"
#include "python/docstrings.h"
#include "python/errors.h"
#include "python/positions.h"
#include "python/ref.h"
#include "python/table.h"
#include "python/unlocked.h"
#include "regions/regions.h"

namespace quorvel::py {
namespace {

using regions::Regions;

// An instance. The Regions lives in raw storage so that the struct stays
// standard-layout; it is made by placement new and destroyed in dealloc.
struct RegionsObject {
  PyObject_HEAD alignas(Regions) unsigned char storage[sizeof(Regions)];
  // The column names as a tuple of str, made once so that every dict and
  // columns result shares the same key objects.
  PyObject* column_names;
  // The distinct names and each column's place among them, as the
  // geocoder keeps them (see group_column_names): a saved file may repeat
  // a name, which a table must not.
  PyObject* distinct_names;
  std::uint32_t* column_slots;  // new[]; NULL when no name repeats.

  const Regions& regions() {
    return *std::launder(reinterpret_cast<Regions*>(storage));
  }
};

RegionsObject* as_regions(PyObject* object) {
  return reinterpret_cast<RegionsObject*>(object);
}

constexpr const char* kClassName = "Regions";
constexpr const char* kPositionParameters[] = {"lats", "lons"};
constexpr const char* kLookupKeywords[] = {"max_distance_km", "workers"};
constexpr const char* kFieldLookupKeywords[] = {"fields", "max_distance_km",
                                                "workers"};
constexpr const char* kIndexParameters[] = {"index"};
constexpr const char* kPathParameters[] = {"path"};
constexpr const char* kDataParameters[] = {"data"};
constexpr const char* kGeoJsonParameters[] = {"source"};
constexpr const char* kGeoJsonKeywords[] = {"fields"};
constexpr const char* kBuildParameters[] = {"coordinates",     "ring_offsets",
                                            "polygon_offsets", "region_offsets",
                                            "columns",         "fields"};

const FunctionDescription kIndicesDescription{
    kClassName, "get_region_indices", kPositionParameters, 1, kLookupKeywords};
const FunctionDescription kStringsDescription{
    kClassName, "get_regions_as_strings", kPositionParameters, 1,
    kFieldLookupKeywords};
const FunctionDescription kColumnsDescription{
    kClassName, "get_regions_as_columns", kPositionParameters, 1,
    kFieldLookupKeywords};
const FunctionDescription kTableDescription{kClassName, "get_regions_as_table",
                                            kPositionParameters, 1,
                                            kFieldLookupKeywords};
const FunctionDescription kDictDescription{kClassName, "get_region_as_dict",
                                           kIndexParameters, 1};
const FunctionDescription kSaveDescription{kClassName, "save", kPathParameters,
                                           1};
const FunctionDescription kLoadDescription{kClassName, "load", kPathParameters,
                                           1};
const FunctionDescription kDumpsDescription{kClassName, "dumps", {}, 0};
const FunctionDescription kLoadsDescription{kClassName, "loads",
                                            kDataParameters, 1};
const FunctionDescription kReduceDescription{kClassName, "__reduce__", {}, 0};
const FunctionDescription kWorldDescription{
    kClassName, "world_countries", {}, 0};
const FunctionDescription kGeoJsonDescription{
    kClassName, "from_geojson", kGeoJsonParameters, 1, kGeoJsonKeywords};
const FunctionDescription kBuildDescription{nullptr, "_build_regions",
                                            kBuildParameters, 6};

std::atomic<PyTypeObject*> type_object{nullptr};
// quorvel._loads_regions (kept for the life of the process), what pickles
// name to rebuild an instance.
std::atomic<PyObject*> unpickler{nullptr};

PyTypeObject* regions_type();

PyTypeObject* require_type() {
  PyTypeObject* type = regions_type();
  if (type == nullptr) panic("failed to create type object for Regions");
  return type;
}

bool check_self(PyObject* self) {
  if (!Py_IS_TYPE(self, require_type())) {
    return conversion_type_error(self, kClassName);
  }
  return true;
}

// Moves `index` into a new instance.
PyObject* new_instance(Regions index) {
  PyTypeObject* type = require_type();
  const std::vector<std::string>& columns = index.columns();
  PyRef names =
      PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
  if (!names) return nullptr;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    PyObject* name = new_text(columns[i]);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
  }
  PyRef distinct;
  std::unique_ptr<std::uint32_t[]> slots;
  if (!group_column_names(columns, names.get(), &distinct, &slots)) {
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  RegionsObject* object = as_regions(self);
  static_assert(std::is_nothrow_move_constructible_v<Regions>);
  new (object->storage) Regions(std::move(index));
  object->column_names = names.release();
  object->distinct_names = distinct.release();
  object->column_slots = slots.release();
  return self;
}

PyObject* instance_or_error(Result<Regions> made) {
  if (!made.ok()) {
    if (!is_interrupted(made.error())) raise_core_error(made.error());
    return nullptr;
  }
  return new_instance(std::move(made).value());
}

// The regions of a batch of positions, searched without the lock, from
// the arguments lats, lons, max_distance_km and workers (NULL when not
// given) that `slots` holds in that order; `description` names the method
// in messages. Without lons, lats holds (lat, lon) pairs.
bool lookup_batch(const FunctionDescription& description, PyObject* self,
                  PyObject* const* slots, std::vector<std::uint32_t>* out) {
  double max_km = 0.0;
  if (slots[2] != nullptr && !convert_double(slots[2], &max_km)) {
    return argument_error("max_distance_km");
  }
  if (!(max_km >= 0.0)) {
    set_error(PyExc_ValueError,
              "argument 'max_distance_km': must be a number >= 0, not " +
                  object_text(slots[2]));
    return false;
  }
  unsigned workers = 1;
  if (slots[3] != nullptr && !convert_workers(slots[3], &workers)) return false;
  PositionColumn lats;
  PositionColumn lons;
  if (!read_positions(description, slots[0], slots[1], &lats, &lons)) {
    return false;
  }
  out->resize(lats.size());
  const Regions& index = as_regions(self)->regions();
  return search_segments(
      lats, lons, std::numeric_limits<double>::infinity(), *out, {},
      [&](const arrow::PositionSegment& segment, std::span<std::uint32_t> rows,
          std::span<double>, StopCheck& stop_check) {
        return region_indices(index, segment.lats.column, segment.lons.column,
                              max_km, rows, workers, stop_check);
      });
}

// A batch lookup that also takes `fields`: binds the arguments of
// `description`, chooses the columns and looks the positions up. Without
// `fields`, the columns are every column when `every_column`, else one per
// distinct name (its last column), as dicts and tables need. False with an
// error raised.
bool lookup_fields_batch(PyObject* self, const FunctionDescription& description,
                         PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, bool every_column,
                         std::vector<std::size_t>* fields,
                         std::vector<std::uint32_t>* found) {
  if (!check_self(self)) return false;
  PyObject* slots[5] = {};
  if (!bind_arguments(description, args, nargs, kwnames, slots)) return false;
  RegionsObject* object = as_regions(self);
  if (every_column && (slots[2] == nullptr || slots[2] == Py_None)) {
    fields->resize(object->regions().columns().size());
    for (std::size_t c = 0; c < fields->size(); ++c) (*fields)[c] = c;
  } else if (!choose_fields({object->column_names, object->distinct_names,
                             object->column_slots},
                            slots[2], false, fields)) {
    return false;
  }
  PyObject* lookup[4] = {slots[0], slots[1], slots[3], slots[4]};
  return lookup_batch(description, self, lookup, found);
}

PyObject* get_region_indices(PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    if (!check_self(self)) return nullptr;
    PyObject* slots[4] = {};
    if (!bind_arguments(kIndicesDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    std::vector<std::uint32_t> found;
    if (!lookup_batch(kIndicesDescription, self, slots, &found)) return nullptr;
    PyRef module = PyRef::steal(PyImport_ImportModule("array"));
    if (!module) return nullptr;
    PyRef bytes = PyRef::steal(PyMemoryView_FromMemory(
        reinterpret_cast<char*>(found.data()),
        static_cast<Py_ssize_t>(found.size() * sizeof(std::uint32_t)),
        PyBUF_READ));
    if (!bytes) return nullptr;
    static_assert(sizeof(unsigned int) == sizeof(std::uint32_t));
    PyRef result =
        PyRef::steal(PyObject_CallMethod(module.get(), "array", "s", "I"));
    if (!result) return nullptr;
    PyRef appended = PyRef::steal(
        PyObject_CallMethod(result.get(), "frombytes", "O", bytes.get()));
    if (!appended) return nullptr;
    return result.release();
  });
}

// A field as one CSV field: quoted, with quotes doubled, when it holds the
// separator, a quote or a line break, or has spaces at either end.
void append_csv_field(std::string& line, std::string_view field) {
  const bool quote =
      field.find_first_of(",\"\r\n") != std::string_view::npos ||
      (!field.empty() && (field.front() == ' ' || field.back() == ' '));
  if (!quote) {
    line += field;
    return;
  }
  line += '"';
  for (char c : field) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

// One Python object per region that a batch names, made on first use.
template <typename Make>
PyObject* list_of(const std::vector<std::uint32_t>& found, std::size_t count,
                  Make&& make) {
  std::vector<PyRef> made(count);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < found.size(); ++i) {
    PyObject* value = Py_None;
    const std::uint32_t region = found[i];
    if (region != regions::kNoRegion) {
      if (region >= count) panic("a lookup found a region beyond the index");
      if (!made[region]) {
        made[region] = PyRef::steal(make(region));
        if (!made[region]) return nullptr;
      }
      value = made[region].get();
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(value));
  }
  return list.release();
}

PyObject* get_regions_as_strings(PyObject* self, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    std::vector<std::size_t> fields;
    std::vector<std::uint32_t> found;
    if (!lookup_fields_batch(self, kStringsDescription, args, nargs, kwnames,
                             true, &fields, &found)) {
      return nullptr;
    }
    const Regions& index = as_regions(self)->regions();
    return list_of(found, index.size(), [&](std::uint32_t region) {
      std::string line;
      for (std::size_t k = 0; k < fields.size(); ++k) {
        if (k > 0) line += ',';
        append_csv_field(line, index.field(region, fields[k]));
      }
      return new_text(line);
    });
  });
}

PyObject* get_regions_as_columns(PyObject* self, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    std::vector<std::size_t> fields;
    std::vector<std::uint32_t> found;
    if (!lookup_fields_batch(self, kColumnsDescription, args, nargs, kwnames,
                             false, &fields, &found)) {
      return nullptr;
    }
    const Regions& index = as_regions(self)->regions();
    PyObject* names = as_regions(self)->column_names;
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    // One column per distinct name, so each is one key.
    for (std::size_t c : fields) {
      PyRef column =
          PyRef::steal(list_of(found, index.size(), [&](std::uint32_t region) {
            return new_text(index.field(region, c));
          }));
      if (!column ||
          PyDict_SetItem(result.get(),
                         PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(c)),
                         column.get()) < 0) {
        return nullptr;
      }
    }
    return result.release();
  });
}

PyObject* get_regions_as_table(PyObject* self, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    arrow::RecordColumns columns;
    std::vector<std::uint32_t> found;
    if (!lookup_fields_batch(self, kTableDescription, args, nargs, kwnames,
                             false, &columns.fields, &found)) {
      return nullptr;
    }
    return table_or_error(arrow::build_record_table(as_regions(self)->regions(),
                                                    found, std::move(columns)));
  });
}

PyObject* get_region_as_dict(PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    if (!check_self(self)) return nullptr;
    PyObject* slots[1];
    if (!bind_arguments(kDictDescription, args, nargs, kwnames, slots))
      return nullptr;
    const Regions& index = as_regions(self)->regions();
    PyRef number = PyRef::steal(PyNumber_Index(slots[0]));
    if (!number) {
      argument_error("index");
      return nullptr;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && overflow == 0 && PyErr_Occurred()) return nullptr;
    const auto count = static_cast<long long>(index.size());
    if (overflow == 0 && value < 0) value += count;
    if (overflow != 0 || value < 0 || value >= count) {
      set_error(PyExc_IndexError, "region index " + object_text(number.get()) +
                                      " is out of range for " +
                                      std::to_string(count) +
                                      (count == 1 ? " region" : " regions"));
      return nullptr;
    }
    PyObject* names = as_regions(self)->column_names;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t c = 0; c < index.columns().size(); ++c) {
      PyRef field = PyRef::steal(
          new_text(index.field(static_cast<std::size_t>(value), c)));
      if (!field ||
          PyDict_SetItem(dict.get(),
                         PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(c)),
                         field.get()) < 0) {
        return nullptr;
      }
    }
    return dict.release();
  });
}

// Raises `error` with a note naming the file, as the geocoder's save and
// load do.
void raise_file_error(const Error& error, const char* action,
                      const std::string& path) {
  std::string note = action;
  PyRef name = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
      path.data(), static_cast<Py_ssize_t>(path.size())));
  PyRef shown = name ? PyRef::steal(PyObject_Repr(name.get())) : PyRef();
  if (shown) {
    note += object_text(shown.get());
  } else {
    PyErr_Clear();
    note += "the file";
  }
  raise_core_error(error);
  add_note(note);
}

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    if (!check_self(self)) return nullptr;
    PyObject* slots[1];
    if (!bind_arguments(kSaveDescription, args, nargs, kwnames, slots))
      return nullptr;
    std::string path;
    if (!convert_path(slots[0], &path)) {
      argument_error("path");
      return nullptr;
    }
    const Regions& index = as_regions(self)->regions();
    PyThreadState* state = nullptr;
    Status saved = run_unlocked(
        &state, [&] { return persist::save_regions(index, path); });
    if (!saved.ok()) {
      raise_file_error(saved.error(), "while saving to ", path);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* load(PyObject* /*unused: static method*/, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind_arguments(kLoadDescription, args, nargs, kwnames, slots))
      return nullptr;
    std::string path;
    if (!convert_path(slots[0], &path)) {
      argument_error("path");
      return nullptr;
    }
    PyThreadState* state = nullptr;
    Result<Regions> loaded =
        run_unlocked(&state, [&] { return persist::load_regions(path); });
    if (!loaded.ok()) {
      raise_file_error(loaded.error(), "while loading ", path);
      return nullptr;
    }
    return new_instance(std::move(loaded).value());
  });
}

PyObject* saved_bytes(PyObject* self) {
  Result<std::string> bytes =
      persist::dumps_regions(as_regions(self)->regions());
  if (!bytes.ok()) {
    raise_core_error(bytes.error());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(
      bytes.value().data(), static_cast<Py_ssize_t>(bytes.value().size()));
}

PyObject* dumps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    if (!check_self(self)) return nullptr;
    if (!bind_arguments(kDumpsDescription, args, nargs, kwnames, nullptr))
      return nullptr;
    return saved_bytes(self);
  });
}

// Serves both Regions.loads and the module's _loads_regions.
PyObject* loads(PyObject* /*unused: class or module*/, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind_arguments(kLoadsDescription, args, nargs, kwnames, slots))
      return nullptr;
    ByteView data;
    if (!data.acquire(slots[0])) {
      argument_error("data");
      return nullptr;
    }
    // The lock stays held: another thread could change the caller's bytes.
    return instance_or_error(persist::loads_regions(data.bytes()));
  });
}

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    if (!check_self(self)) return nullptr;
    if (!bind_arguments(kReduceDescription, args, nargs, kwnames, nullptr))
      return nullptr;
    PyObject* rebuild = unpickler.load(std::memory_order_acquire);
    if (rebuild == nullptr) panic("quorvel._loads_regions is missing");
    PyRef bytes = PyRef::steal(saved_bytes(self));
    if (!bytes) return nullptr;
    PyRef arguments = PyRef::steal(PyTuple_Pack(1, bytes.get()));
    if (!arguments) return nullptr;
    return PyTuple_Pack(2, rebuild, arguments.get());
  });
}

// Calls `function` of the package module `module_name` with the arguments
// given: the constructors whose work is the Python layer's.
PyObject* call_package(const char* module_name, const char* function,
                       PyObject* args, PyObject* kwargs) {
  PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
  if (!module) return nullptr;
  PyRef callable = PyRef::steal(PyObject_GetAttrString(module.get(), function));
  if (!callable) return nullptr;
  return PyObject_Call(callable.get(), args, kwargs);
}

PyObject* world_countries(PyObject* /*unused*/, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    if (!bind_arguments(kWorldDescription, args, nargs, kwnames, nullptr))
      return nullptr;
    PyRef none = PyRef::steal(PyTuple_New(0));
    if (!none) return nullptr;
    return call_package("quorvel._world", "world_countries", none.get(),
                        nullptr);
  });
}

PyObject* from_geojson(PyObject* /*unused*/, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[2];
    if (!bind_arguments(kGeoJsonDescription, args, nargs, kwnames, slots))
      return nullptr;
    PyRef positional = PyRef::steal(PyTuple_Pack(1, slots[0]));
    if (!positional) return nullptr;
    PyRef keywords = PyRef::steal(PyDict_New());
    if (!keywords) return nullptr;
    if (slots[1] != nullptr &&
        PyDict_SetItemString(keywords.get(), "fields", slots[1]) < 0) {
      return nullptr;
    }
    return call_package("quorvel._regions", "from_geojson", positional.get(),
                        keywords.get());
  });
}

// A list of str as UTF-8 strings.
bool convert_texts(PyObject* object, const char* name,
                   std::vector<std::string>* out) {
  if (!PyList_Check(object)) {
    conversion_type_error(object, "list");
    return argument_error(name);
  }
  out->resize(static_cast<std::size_t>(PyList_GET_SIZE(object)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
    if (!convert_text(PyList_GET_ITEM(object, i),
                      &(*out)[static_cast<std::size_t>(i)])) {
      return argument_error(name);
    }
  }
  return true;
}

// Bytes of native-order numbers of type T, copied out.
template <typename T>
bool convert_numbers(PyObject* object, const char* name, std::vector<T>* out) {
  ByteView view;
  if (!view.acquire(object)) return argument_error(name);
  if (view.bytes().size() % sizeof(T) != 0) {
    set_error(PyExc_ValueError, std::string("argument '") + name +
                                    "': length is not a multiple of " +
                                    std::to_string(sizeof(T)));
    return false;
  }
  out->resize(view.bytes().size() / sizeof(T));
  if (!out->empty())
    std::memcpy(out->data(), view.bytes().data(), view.bytes().size());
  return true;
}

// _build_regions(coordinates, ring_offsets, polygon_offsets, region_offsets,
// columns, fields): the package's GeoJSON reader hands the flat arrays
// (float64 and uint32 buffers, lists of str) to the engine here.
PyObject* build_regions(PyObject* /*unused: module*/, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[6];
    if (!bind_arguments(kBuildDescription, args, nargs, kwnames, slots))
      return nullptr;
    std::vector<double> coordinates;
    std::vector<std::uint32_t> rings, polygons, regions_offsets;
    std::vector<std::string> columns, fields;
    if (!convert_numbers(slots[0], "coordinates", &coordinates) ||
        !convert_numbers(slots[1], "ring_offsets", &rings) ||
        !convert_numbers(slots[2], "polygon_offsets", &polygons) ||
        !convert_numbers(slots[3], "region_offsets", &regions_offsets) ||
        !convert_texts(slots[4], "columns", &columns) ||
        !convert_texts(slots[5], "fields", &fields)) {
      return nullptr;
    }
    regions::RegionsInput input{coordinates,     rings,   polygons,
                                regions_offsets, columns, fields};
    PyThreadState* state = nullptr;
    Result<Regions> built =
        run_unlocked(&state, [&] { return Regions::build(input); });
    return instance_or_error(std::move(built));
  });
}

Py_ssize_t regions_length(PyObject* self) {
  return static_cast<Py_ssize_t>(as_regions(self)->regions().size());
}

PyObject* get_columns(PyObject* self, void* /*unused*/) {
  return guard_entry([&]() -> PyObject* {
    return PySequence_List(as_regions(self)->column_names);
  });
}

PyObject* regions_new(PyTypeObject* /*unused*/, PyObject* /*unused*/,
                      PyObject* /*unused*/) {
  PyErr_SetString(PyExc_TypeError,
                  "Regions cannot be made directly: use Regions.from_geojson, "
                  "Regions.load, Regions.loads or Regions.world_countries");
  return nullptr;
}

static_assert(std::is_nothrow_destructible_v<Regions>);

void regions_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  RegionsObject* object = as_regions(self);
  std::launder(reinterpret_cast<Regions*>(object->storage))->~Regions();
  Py_CLEAR(object->column_names);
  Py_CLEAR(object->distinct_names);
  delete[] object->column_slots;
  type->tp_free(self);
  Py_DECREF(type);
}

template <typename F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)(void)>(function));
}

constexpr int kCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"from_geojson", as_cfunction(from_geojson), kCall | METH_STATIC,
     "from_geojson(source, *, "
     "fields=None)\n--\n\n" QUORVEL_DOC_REGIONS_FROM_GEOJSON},
    {"world_countries", as_cfunction(world_countries), kCall | METH_STATIC,
     "world_countries()\n--\n\n" QUORVEL_DOC_REGIONS_WORLD_COUNTRIES},
    {"get_region_indices", as_cfunction(get_region_indices), kCall,
     "get_region_indices($self, lats, lons=None, *, max_distance_km=0.0, "
     "workers=1)\n--\n\n" QUORVEL_DOC_REGIONS_GET_REGION_INDICES},
    {"get_regions_as_strings", as_cfunction(get_regions_as_strings), kCall,
     "get_regions_as_strings($self, lats, lons=None, *, fields=None, "
     "max_distance_km=0.0, "
     "workers=1)\n--\n\n" QUORVEL_DOC_REGIONS_GET_REGIONS_AS_STRINGS},
    {"get_regions_as_columns", as_cfunction(get_regions_as_columns), kCall,
     "get_regions_as_columns($self, lats, lons=None, *, fields=None, "
     "max_distance_km=0.0, "
     "workers=1)\n--\n\n" QUORVEL_DOC_REGIONS_GET_REGIONS_AS_COLUMNS},
    {"get_regions_as_table", as_cfunction(get_regions_as_table), kCall,
     "get_regions_as_table($self, lats, lons=None, *, fields=None, "
     "max_distance_km=0.0, "
     "workers=1)\n--\n\n" QUORVEL_DOC_REGIONS_GET_REGIONS_AS_TABLE},
    {"get_region_as_dict", as_cfunction(get_region_as_dict), kCall,
     "get_region_as_dict($self, "
     "index)\n--\n\n" QUORVEL_DOC_REGIONS_GET_REGION_AS_DICT},
    {"save", as_cfunction(save), kCall,
     "save($self, path)\n--\n\n" QUORVEL_DOC_REGIONS_SAVE},
    {"load", as_cfunction(load), kCall | METH_STATIC,
     "load(path)\n--\n\n" QUORVEL_DOC_REGIONS_LOAD},
    {"dumps", as_cfunction(dumps), kCall,
     "dumps($self)\n--\n\n" QUORVEL_DOC_REGIONS_DUMPS},
    {"loads", as_cfunction(loads), kCall | METH_STATIC,
     "loads(data)\n--\n\n" QUORVEL_DOC_REGIONS_LOADS},
    {"__reduce__", as_cfunction(reduce), kCall,
     "__reduce__($self)\n--\n\n" QUORVEL_DOC_REGIONS_REDUCE},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"columns", get_columns, nullptr, QUORVEL_DOC_REGIONS_COLUMNS, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef unpickler_definition = {
    "_loads_regions", as_cfunction(loads), kCall,
    "_loads_regions(data)\n--\n\n" QUORVEL_DOC_LOADS_REGIONS};
PyMethodDef builder_definition = {
    "_build_regions", as_cfunction(build_regions), kCall,
    "_build_regions(coordinates, ring_offsets, polygon_offsets, "
    "region_offsets, columns, fields)\n--\n\nThe engine's builder, for "
    "Regions.from_geojson."};

constexpr char kClassDoc[] = QUORVEL_DOC_REGIONS;

PyTypeObject* regions_type() {
  PyTypeObject* type = type_object.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_methods, methods},
      {Py_tp_getset, getset},
      {Py_sq_length, reinterpret_cast<void*>(regions_length)},
      {Py_tp_new, reinterpret_cast<void*>(regions_new)},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(regions_dealloc)},
      {0, nullptr},
  };
  PyType_Spec definition = {
      "quorvel.Regions",
      static_cast<int>(sizeof(RegionsObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      slots,
  };
  PyObject* created = PyType_FromSpec(&definition);
  if (created == nullptr) return nullptr;
  PyTypeObject* expected = nullptr;
  if (!type_object.compare_exchange_strong(
          expected, reinterpret_cast<PyTypeObject*>(created),
          std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return reinterpret_cast<PyTypeObject*>(created);
}

bool add_function(PyObject* module, PyMethodDef* definition,
                  std::atomic<PyObject*>* keep) {
  PyRef name = PyRef::steal(PyUnicode_FromString("quorvel"));
  if (!name) return false;
  PyRef function =
      PyRef::steal(PyCFunction_NewEx(definition, module, name.get()));
  if (!function) return false;
  if (PyObject_SetAttrString(module, definition->ml_name, function.get()) < 0)
    return false;
  if (keep != nullptr) {
    PyObject* expected = nullptr;
    if (keep->compare_exchange_strong(expected, function.get(),
                                      std::memory_order_acq_rel)) {
      (void)function.release();  // Kept for the life of the process.
    }
  }
  return true;
}

}  // namespace

const Regions* regions_of(PyObject* object) {
  if (!Py_IS_TYPE(object, require_type())) {
    conversion_type_error(object, kClassName);
    return nullptr;
  }
  return &as_regions(object)->regions();
}

bool add_regions(PyObject* module) {
  PyTypeObject* type = regions_type();
  if (type == nullptr) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) return false;
  PyRef name = PyRef::steal(PyUnicode_FromString("Regions"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  if (PyObject_SetAttrString(module, "Regions",
                             reinterpret_cast<PyObject*>(type)) < 0) {
    return false;
  }
  return add_function(module, &unpickler_definition, &unpickler) &&
         add_function(module, &builder_definition, nullptr);
}

}  // namespace quorvel::py

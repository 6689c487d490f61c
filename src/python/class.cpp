#include "python/class.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "geocoder/geocoder.h"
#include "geocoder/value_index.h"
#include "persist/saved_file.h"
#include "python/batch.h"
#include "python/call_frame.h"
#include "python/csv_source.h"
#include "python/docstrings.h"
#include "python/errors.h"
#include "python/queries.h"
#include "python/ref.h"
#include "python/table.h"
#include "python/unlocked.h"

namespace quorvel::py {
namespace {

// An instance. The geocoder lives in raw storage so that the struct stays
// standard-layout (and so interconvertible with PyObject*); it is constructed
// by placement new once the interpreter has allocated the object and
// destroyed explicitly in dealloc.
struct GeocoderObject {
  PyObject_HEAD alignas(
      ReverseGeocoder) unsigned char storage[sizeof(ReverseGeocoder)];
  // columns[i] as a str, made once per instance so that every dict lookup
  // result reuses the same key objects (and their cached hashes).
  PyObject* column_names;
  // The distinct column names in column order (a tuple sharing the strs of
  // column_names, or column_names itself when no name repeats), and for each
  // column the position of its name in it (NULL when no name repeats: the
  // identity). Worked out once, when the instance is made, so that the
  // columns form of a lookup never compares names.
  PyObject* distinct_names;
  std::uint32_t* column_slots;
  // 0 when unused, n > 0 while n calls hold a shared borrow; -1 would mean
  // an exclusive borrow, which no operation takes.
  std::atomic<std::int32_t> borrow_flag;
  // The geocoder's records that its index does not hold, worked out on the
  // first search that returns every record.
  alignas(
      LazyDuplicates) unsigned char duplicates_storage[sizeof(LazyDuplicates)];
  // The per-value indexes that `where=` builds on first use of a column.
  ValueIndexCache* where_indexes;

  ReverseGeocoder& geocoder() {
    return *std::launder(reinterpret_cast<ReverseGeocoder*>(storage));
  }
  LazyDuplicates& duplicates() {
    return *std::launder(reinterpret_cast<LazyDuplicates*>(duplicates_storage));
  }
};

GeocoderObject* as_geocoder(PyObject* object) {
  return reinterpret_cast<GeocoderObject*>(object);
}

constexpr const char* kClassName = "ReverseGeocoder";
constexpr const char* kNewParameters[] = {"csv", "value_sep",
                                          "drop_coordinates"};
constexpr const char* kLatLonParameters[] = {"lat", "lon"};
constexpr const char* kPathParameters[] = {"path"};
constexpr const char* kDataParameters[] = {"data"};

const FunctionDescription kNewDescription{kClassName, "__new__", kNewParameters,
                                          1};
const FunctionDescription kAsStringDescription{
    kClassName, "get_nearest_as_string", kLatLonParameters, 2};
const FunctionDescription kAsDictDescription{kClassName, "get_nearest_as_dict",
                                             kLatLonParameters, 2};
const FunctionDescription kSaveDescription{kClassName, "save", kPathParameters,
                                           1};
const FunctionDescription kLoadDescription{kClassName, "load", kPathParameters,
                                           1};
const FunctionDescription kDumpsDescription{kClassName, "dumps", {}, 0};
const FunctionDescription kLoadsDescription{kClassName, "loads",
                                            kDataParameters, 1};
const FunctionDescription kReduceDescription{kClassName, "__reduce__", {}, 0};
const FunctionDescription kWorldDescription{kClassName, "world", {}, 0};
constexpr const char* kReadCsvParameters[] = {"source"};
constexpr const char* kReadCsvKeywords[] = {"lat", "lon", "value_sep",
                                            "drop_coordinates"};
const FunctionDescription kReadCsvDescription{
    kClassName, "read_csv", kReadCsvParameters, 1, kReadCsvKeywords};
// read_csv's slots, in the order of the two tables above.
struct ReadCsvSlot {
  enum : std::size_t {
    kSource,
    kLat,
    kLon,
    kValueSep,
    kDropCoordinates,
    kCount
  };
};
static_assert(std::size(kReadCsvParameters) + std::size(kReadCsvKeywords) ==
              ReadCsvSlot::kCount);
// __new__'s slots, in the order of kNewParameters.
struct NewSlot {
  enum : std::size_t { kCsv, kValueSep, kDropCoordinates, kCount };
};
static_assert(std::size(kNewParameters) == NewSlot::kCount);
// The slots of the lookups that take one position.
struct LatLonSlot {
  enum : std::size_t { kLat, kLon, kCount };
};
static_assert(std::size(kLatLonParameters) == LatLonSlot::kCount);

// quorvel._loads (a strong reference kept for the life of the process), the
// callable that pickles name for rebuilding an instance.
std::atomic<PyObject*> unpickler{nullptr};

std::atomic<PyTypeObject*> type_object{nullptr};

// The type, for calls that cannot go on without it.
PyTypeObject* require_geocoder_type() {
  PyTypeObject* type = geocoder_type();
  if (type == nullptr) {
    PyErr_Print();
    panic("failed to create type object for ReverseGeocoder");
  }
  return type;
}

// An instance held for the length of one method call. An instance never
// changes after it is made, so any number of calls may share it at once and
// nothing needs counting: the strong reference only keeps the instance alive
// while a method runs without the interpreter lock.
class SharedBorrow {
 public:
  SharedBorrow() = default;
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

  // Checks that `self` is a ReverseGeocoder and holds it. False with
  // TypeError raised.
  bool acquire(PyObject* self) {
    PyTypeObject* type = require_geocoder_type();
    if (!Py_IS_TYPE(self, type) && !PyType_IsSubtype(Py_TYPE(self), type)) {
      return conversion_type_error(self, kClassName);
    }
    held_ = PyRef::borrow(self);
    object_ = as_geocoder(self);
    return true;
  }

  const ReverseGeocoder& geocoder() const { return object_->geocoder(); }
  PyObject* column_names() const { return object_->column_names; }
  BatchTarget target() const {
    return {object_->geocoder(),     object_->column_names,
            object_->distinct_names, object_->column_slots,
            object_->duplicates(),   object_->where_indexes};
  }

 private:
  PyRef held_;
  GeocoderObject* object_ = nullptr;
};

// True when no byte of `text` has its high bit set.
bool is_ascii(std::string_view text) {
  // Eight bytes at a time: a stored line is a few dozen bytes, so this is a
  // handful of ORs, cheaper than any per-byte branch.
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t seen = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    seen |= word;
  }
  for (; n > 0; ++p, --n) seen |= static_cast<unsigned char>(*p);
  return (seen & UINT64_C(0x8080808080808080)) == 0;
}

// A new str over bytes that the core guarantees to be valid UTF-8.
PyObject* new_str(std::string_view text) {
  // The result of every lookup. Most stored lines are ASCII, and an ASCII
  // str is its bytes behind a header: one allocation and one copy, without
  // the decoder's scan for the widest code point. Texts of one byte or none
  // go through the decoder, which hands out CPython's shared singletons.
  const auto size = static_cast<Py_ssize_t>(text.size());
  if (size > 1 && is_ascii(text)) {
    PyObject* str = PyUnicode_New(size, 127);
    if (str == nullptr) return nullptr;
    std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
    return str;
  }
  return PyUnicode_DecodeUTF8(text.data(), size, nullptr);
}

// A new empty dict that takes `size` keys without growing.
PyObject* new_dict_for(Py_ssize_t size) {
  // Records wider than an empty dict's five slots would otherwise grow the
  // dict while it is filled. Presizing is a private function of the
  // interpreter, present in the versions this gate names; elsewhere the dict
  // grows as it must.
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030F0000
  return _PyDict_NewPresized(size);
#else
  (void)size;
  return PyDict_New();
#endif
}

}  // namespace

PyObject* new_text(std::string_view text) { return new_str(text); }

PyObject* record_dict(PyObject* names, const csv::Record& fields) {
  if (fields.size() > static_cast<std::size_t>(PyTuple_GET_SIZE(names))) {
    panic("a record has more fields than the geocoder has columns");
  }
  PyRef dict =
      PyRef::steal(new_dict_for(static_cast<Py_ssize_t>(fields.size())));
  if (!dict) return nullptr;
  // Inserting in field order gives the keys in column order; a repeated
  // column name keeps its first position and takes the last value.
  for (std::size_t i = 0; i < fields.size(); ++i) {
    PyRef value = PyRef::steal(new_str(fields.field(i)));
    if (!value ||
        PyDict_SetItem(dict.get(),
                       PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(i)),
                       value.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

bool group_column_names(const std::vector<std::string>& columns,
                        PyObject* names, PyRef* distinct,
                        std::unique_ptr<std::uint32_t[]>* slots) {
  // Hashing the names keeps this linear: a saved file may hold any number
  // of columns, and comparing each name with every other was quadratic.
  std::unordered_map<std::string_view, std::uint32_t> seen;
  seen.reserve(columns.size());
  std::vector<std::uint32_t> slot_of(columns.size());
  std::vector<Py_ssize_t> firsts;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const auto [it, added] =
        seen.try_emplace(columns[i], static_cast<std::uint32_t>(firsts.size()));
    if (added) firsts.push_back(static_cast<Py_ssize_t>(i));
    slot_of[i] = it->second;
  }
  if (firsts.size() == columns.size()) {
    *distinct = PyRef::borrow(names);
    return true;
  }
  PyRef tuple =
      PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(firsts.size())));
  if (!tuple) return false;
  for (std::size_t k = 0; k < firsts.size(); ++k) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k),
                     Py_NewRef(PyTuple_GET_ITEM(names, firsts[k])));
  }
  *slots = std::make_unique<std::uint32_t[]>(columns.size());
  std::copy(slot_of.begin(), slot_of.end(), slots->get());
  *distinct = std::move(tuple);
  return true;
}

namespace {

// Moves `geocoder` into a new instance of `type`.
PyObject* new_instance(PyTypeObject* type, ReverseGeocoder geocoder) {
  PyRef names = PyRef::steal(
      PyTuple_New(static_cast<Py_ssize_t>(geocoder.columns().size())));
  if (!names) return nullptr;
  for (std::size_t i = 0; i < geocoder.columns().size(); ++i) {
    PyObject* name = new_str(geocoder.columns()[i]);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
  }
  PyRef distinct;
  std::unique_ptr<std::uint32_t[]> slots;
  if (!group_column_names(geocoder.columns(), names.get(), &distinct, &slots))
    return nullptr;
  auto where_indexes = std::make_unique<ValueIndexCache>();
  allocfunc alloc =
      type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  GeocoderObject* object = as_geocoder(self);
  // Moving strings, vectors and the tree only moves pointers: nothing here
  // can throw, so the instance is never left half made.
  static_assert(std::is_nothrow_move_constructible_v<ReverseGeocoder>);
  new (object->storage) ReverseGeocoder(std::move(geocoder));
  object->column_names = names.release();
  object->distinct_names = distinct.release();
  object->column_slots = slots.release();
  object->where_indexes = where_indexes.release();
  new (&object->borrow_flag) std::atomic<std::int32_t>(0);
  static_assert(
      std::is_nothrow_constructible_v<LazyDuplicates, const ReverseGeocoder&>);
  new (object->duplicates_storage) LazyDuplicates(object->geocoder());
  return self;
}

inline bool read_lat_lon(PyObject* const* slots, double* lat, double* lon) {
  if (!convert_double(slots[LatLonSlot::kLat], lat))
    return argument_error("lat");
  if (!convert_double(slots[LatLonSlot::kLon], lon))
    return argument_error("lon");
  return true;
}

bool bind_lat_lon(const FunctionDescription& description, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  // Nearly every lookup passes two positional arguments; they are bound
  // without walking the description.
  if (nargs == 2 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) {
    slots[LatLonSlot::kLat] = args[0];
    slots[LatLonSlot::kLon] = args[1];
    return true;
  }
  return bind_arguments(description, args, nargs, kwnames, slots);
}

// Builds a geocoder from text without the interpreter lock, stopping on
// Ctrl-C (interrupted(), with KeyboardInterrupt left pending). `text` is the
// call's own copy, so no other thread can change it meanwhile.
Result<ReverseGeocoder> build_unlocked(std::string text, char32_t value_sep,
                                       const BuildOptions& options) {
  PyThreadState* state = nullptr;
  StopCheck stop_check = signal_check_unlocked(&state);
  return run_unlocked(&state, [&] {
    return ReverseGeocoder::build(std::move(text), value_sep, options,
                                  stop_check);
  });
}

PyObject* geocoder_new(PyTypeObject* subtype, PyObject* args,
                       PyObject* kwargs) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[NewSlot::kCount];
    if (!bind_arguments(kNewDescription, args, kwargs, slots)) return nullptr;
    // The dictionary only lends its values; keep them while converting.
    PyRef csv_arg = PyRef::borrow(slots[NewSlot::kCsv]);
    PyRef sep_arg = PyRef::borrow(slots[NewSlot::kValueSep]);
    PyRef drop_arg = PyRef::borrow(slots[NewSlot::kDropCoordinates]);

    std::string text;
    if (!convert_text(csv_arg.get(), &text)) {
      argument_error("csv");
      return nullptr;
    }
    char32_t value_sep = U',';
    if (sep_arg && !convert_char(sep_arg.get(), &value_sep)) {
      argument_error("value_sep");
      return nullptr;
    }
    bool drop_coordinates = false;
    if (drop_arg && !convert_bool(drop_arg.get(), &drop_coordinates)) {
      argument_error("drop_coordinates");
      return nullptr;
    }

    BuildOptions options;
    options.drop_coordinates = drop_coordinates;
    Result<ReverseGeocoder> built =
        build_unlocked(std::move(text), value_sep, options);
    if (!built.ok()) {
      if (is_interrupted(built.error())) return nullptr;
      raise_core_error(built.error());
      return nullptr;
    }
    return new_instance(subtype, std::move(built).value());
  });
}

PyObject* get_nearest_as_string(PyObject* self, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[LatLonSlot::kCount];
    if (!bind_lat_lon(kAsStringDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    SharedBorrow borrow;
    if (!borrow.acquire(self)) return nullptr;
    double lat, lon;
    if (!read_lat_lon(slots, &lat, &lon)) return nullptr;
    Result<std::string_view> line = borrow.geocoder().get_nearest(lat, lon);
    if (!line.ok()) {
      raise_core_error(line.error());
      return nullptr;
    }
    return new_str(line.value());
  });
}

PyObject* get_nearest_as_dict(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[LatLonSlot::kCount];
    if (!bind_lat_lon(kAsDictDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    SharedBorrow borrow;
    if (!borrow.acquire(self)) return nullptr;
    double lat, lon;
    if (!read_lat_lon(slots, &lat, &lon)) return nullptr;
    Result<csv::Record> record = borrow.geocoder().get_nearest_record(lat, lon);
    if (!record.ok()) {
      raise_core_error(record.error());
      return nullptr;
    }
    return record_dict(borrow.column_names(), record.value());
  });
}

// Raises `error` with a further note: `action` and the file's path, as the
// str that os.fspath() gave (`path` is its file-system encoding).
void raise_file_error(const Error& error, const char* action,
                      const std::string& path) {
  PyRef name = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
      path.data(), static_cast<Py_ssize_t>(path.size())));
  PyRef shown = name ? PyRef::steal(PyObject_Repr(name.get())) : PyRef();
  std::string note = action;
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
    PyObject* slots[1];
    if (!bind_arguments(kSaveDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    SharedBorrow borrow;
    if (!borrow.acquire(self)) return nullptr;
    std::string path;
    if (!convert_path(slots[0], &path)) {
      argument_error("path");
      return nullptr;
    }
    // Writing may wait on the file system or on a FIFO's reader; other
    // threads go on meanwhile, and Ctrl-C stops it with no partial file.
    PyThreadState* state = nullptr;
    StopCheck stop_check = signal_check_unlocked(&state);
    Status saved = run_unlocked(&state, [&] {
      return persist::save(borrow.geocoder(), path, stop_check);
    });
    if (!saved.ok()) {
      if (is_interrupted(saved.error())) return nullptr;
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
    if (!bind_arguments(kLoadDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    std::string path;
    if (!convert_path(slots[0], &path)) {
      argument_error("path");
      return nullptr;
    }
    PyThreadState* state = nullptr;
    StopCheck stop_check = signal_check_unlocked(&state);
    Result<ReverseGeocoder> loaded =
        run_unlocked(&state, [&] { return persist::load(path, stop_check); });
    if (!loaded.ok()) {
      if (is_interrupted(loaded.error())) return nullptr;
      raise_file_error(loaded.error(), "while loading ", path);
      return nullptr;
    }
    return new_instance(require_geocoder_type(), std::move(loaded).value());
  });
}

// The saved form of the borrowed geocoder as a new bytes object.
PyObject* saved_bytes(const SharedBorrow& borrow) {
  // Encoded straight into the bytes object, sized exactly beforehand: the
  // saved form of a large geocoder is megabytes, and a staging string would
  // cost a second copy of all of it.
  Result<std::size_t> size = persist::saved_size(borrow.geocoder());
  if (!size.ok()) {
    raise_core_error(size.error());
    return nullptr;
  }
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(size.value())));
  if (!bytes) return nullptr;
  Status written = persist::dumps_into(
      borrow.geocoder(),
      std::span<char>(PyBytes_AS_STRING(bytes.get()), size.value()));
  if (!written.ok()) {
    raise_core_error(written.error());
    return nullptr;
  }
  return bytes.release();
}

PyObject* dumps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    if (!bind_arguments(kDumpsDescription, args, nargs, kwnames, nullptr)) {
      return nullptr;
    }
    SharedBorrow borrow;
    if (!borrow.acquire(self)) return nullptr;
    return saved_bytes(borrow);
  });
}

// Serves both ReverseGeocoder.loads and the module's _loads, which only
// differ in what CPython passes as their first argument.
PyObject* loads(PyObject* /*unused: class or module*/, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind_arguments(kLoadsDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    ByteView data;
    if (!data.acquire(slots[0])) {
      argument_error("data");
      return nullptr;
    }
    // The lock stays held: other threads could change the caller's bytes
    // while they are read.
    StopCheck stop_check = signal_check_locked();
    Result<ReverseGeocoder> loaded = persist::loads(data.bytes(), stop_check);
    if (!loaded.ok()) {
      if (is_interrupted(loaded.error())) return nullptr;
      raise_core_error(loaded.error());
      return nullptr;
    }
    return new_instance(require_geocoder_type(), std::move(loaded).value());
  });
}

// (quorvel._loads, (saved bytes,)). A module function rather than the static
// method, so that pickles stay readable by every version that wrote them.
PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    if (!bind_arguments(kReduceDescription, args, nargs, kwnames, nullptr)) {
      return nullptr;
    }
    SharedBorrow borrow;
    if (!borrow.acquire(self)) return nullptr;
    PyObject* rebuild = unpickler.load(std::memory_order_acquire);
    if (rebuild == nullptr) panic("quorvel._loads is missing");
    PyRef bytes = PyRef::steal(saved_bytes(borrow));
    if (!bytes) return nullptr;
    PyRef arguments = PyRef::steal(PyTuple_Pack(1, bytes.get()));
    if (!arguments) return nullptr;
    return PyTuple_Pack(2, rebuild, arguments.get());
  });
}

// The shared world geocoder. Finding the package's data file and loading it
// once under a lock is the package's Python layer's business; the class only
// offers the entry point, so that the instance comes from where users look.
PyObject* world(PyObject* /*unused: static method*/, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    if (!bind_arguments(kWorldDescription, args, nargs, kwnames, nullptr)) {
      return nullptr;
    }
    PyRef module = PyRef::steal(PyImport_ImportModule("quorvel._world"));
    if (!module) return nullptr;
    return PyObject_CallMethod(module.get(), "world", nullptr);
  });
}

PyObject* read_csv(PyObject* /*unused: static method*/, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[ReadCsvSlot::kCount];
    if (!bind_arguments(kReadCsvDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    PyObject* lat = slots[ReadCsvSlot::kLat];
    PyObject* lon = slots[ReadCsvSlot::kLon];
    PyObject* sep_arg = slots[ReadCsvSlot::kValueSep];
    PyObject* drop_arg = slots[ReadCsvSlot::kDropCoordinates];
    if (!check_column_names(lat, lon)) return nullptr;
    char32_t value_sep = U',';
    if (sep_arg && !convert_char(sep_arg, &value_sep)) {
      argument_error("value_sep");
      return nullptr;
    }
    BuildOptions options;
    if (drop_arg && !convert_bool(drop_arg, &options.drop_coordinates)) {
      argument_error("drop_coordinates");
      return nullptr;
    }
    std::string text;
    if (!read_csv_text(slots[ReadCsvSlot::kSource], &text)) return nullptr;
    if (!resolve_coordinate_columns(text, value_sep, lat, lon, &options)) {
      return nullptr;
    }
    Result<ReverseGeocoder> built =
        build_unlocked(std::move(text), value_sep, options);
    if (!built.ok()) {
      if (is_interrupted(built.error())) return nullptr;
      raise_core_error(built.error());
      return nullptr;
    }
    return new_instance(require_geocoder_type(), std::move(built).value());
  });
}

// Reports the internal failure of a type without tp_free, in deallocation,
// where nothing can be raised. The object's reference count is already 0 and
// lending it out again would deallocate it a second time, so the report
// names its type instead.
void report_missing_tp_free(PyTypeObject* type) noexcept {
  PyRef pending = PyRef::steal(PyErr_GetRaisedException());
  try {
    panic("PyBaseObject_Type should have tp_free");
  } catch (...) {
    raise_current_exception();
  }
  PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
  PyErr_SetRaisedException(pending.release());
}

static_assert(std::is_nothrow_destructible_v<ReverseGeocoder>);

void geocoder_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  GeocoderObject* object = as_geocoder(self);
  object->duplicates().~LazyDuplicates();
  object->geocoder().~ReverseGeocoder();
  Py_CLEAR(object->column_names);
  Py_CLEAR(object->distinct_names);
  delete[] object->column_slots;
  delete object->where_indexes;
  // A type based on object always has tp_free. Without it the memory cannot
  // be given back: it is kept, with the reference to the type that it holds.
  freefunc free = type->tp_free;
  if (free == nullptr) {
    report_missing_tp_free(type);
    return;
  }
  free(self);
  // Every instance of a heap type holds a reference to its type.
  Py_DECREF(type);
}

// The batch methods and record accessors: borrow the instance, then run the
// method body with its geocoder and column names.
template <BatchMethod kBody>
PyObject* batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    SharedBorrow borrow;
    if (!borrow.acquire(self)) return nullptr;
    return kBody(borrow.target(), args, nargs, kwnames);
  });
}

Py_ssize_t geocoder_length(PyObject* self) {
  try {
    return record_total(as_geocoder(self)->geocoder());
  } catch (...) {
    raise_current_exception();
    return -1;
  }
}

PyObject* get_columns(PyObject* self, void* /*unused*/) {
  return guard_entry([&]() -> PyObject* {
    return PySequence_List(as_geocoder(self)->column_names);
  });
}

PyGetSetDef getset[] = {
    {"columns", get_columns, nullptr, QUORVEL_DOC_REVERSEGEOCODER_COLUMNS,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// PyMethodDef wants a PyCFunction; CPython calls it by the flags' convention.
template <typename F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)(void)>(function));
}

PyMethodDef methods[] = {
    {"get_nearest_as_string", as_cfunction(get_nearest_as_string),
     METH_FASTCALL | METH_KEYWORDS,
     "get_nearest_as_string($self, lat, "
     "lon)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_NEAREST_AS_STRING},
    {"get_nearest_as_dict", as_cfunction(get_nearest_as_dict),
     METH_FASTCALL | METH_KEYWORDS,
     "get_nearest_as_dict($self, lat, "
     "lon)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_NEAREST_AS_DICT},
    {"save", as_cfunction(save), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_SAVE},
    {"load", as_cfunction(load), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "load(path)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_LOAD},
    // Shipping a geocoder between processes.
    {"dumps", as_cfunction(dumps), METH_FASTCALL | METH_KEYWORDS,
     "dumps($self)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_DUMPS},
    {"loads", as_cfunction(loads), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "loads(data)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_LOADS},
    {"__reduce__", as_cfunction(reduce), METH_FASTCALL | METH_KEYWORDS,
     "__reduce__($self)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_REDUCE},
    // Many positions per call, and records by number.
    {"get_nearest_indices", as_cfunction(batch_method<nearest_indices>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_nearest_indices($self, lats, lons=None, *, k=1, "
     "max_distance_km=None, return_distance=False, workers=1, "
     "where=None)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_NEAREST_INDICES},
    {"get_nearest_as_strings", as_cfunction(batch_method<nearest_as_strings>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_nearest_as_strings($self, lats, lons=None, *, "
     "max_distance_km=None, workers=1, "
     "where=None)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_NEAREST_AS_STRINGS},
    {"get_nearest_as_dicts", as_cfunction(batch_method<nearest_as_dicts>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_nearest_as_dicts($self, lats, lons=None, *, "
     "max_distance_km=None, workers=1, "
     "where=None)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_NEAREST_AS_DICTS},
    {"get_nearest_as_columns", as_cfunction(batch_method<nearest_as_columns>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_nearest_as_columns($self, lats, lons=None, *, "
     "max_distance_km=None, workers=1, "
     "where=None)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_NEAREST_AS_COLUMNS},
    {"get_record_as_string", as_cfunction(batch_method<record_as_string>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_record_as_string($self, "
     "index)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_RECORD_AS_STRING},
    {"get_record_as_dict", as_cfunction(batch_method<record_as_dict>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_record_as_dict($self, "
     "index)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_RECORD_AS_DICT},
    {"read_csv", as_cfunction(read_csv),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "read_csv(source, *, lat=None, lon=None, value_sep=',', "
     "drop_coordinates=False)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_READ_CSV},
    // Arrow tables, for the data-frame libraries and SQL engines.
    {"get_nearest_as_table", as_cfunction(batch_method<nearest_as_table>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_nearest_as_table($self, lats, lons=None, *, fields=None, "
     "distance=False, "
     "max_distance_km=None, "
     "workers=1)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_NEAREST_AS_TABLE},
    {"get_records_as_table", as_cfunction(batch_method<records_as_table>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_records_as_table($self, indices, *, "
     "fields=None)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_RECORDS_AS_TABLE},
    // Beyond the single nearest record, and records in bulk by number.
    {"get_indices_within", as_cfunction(batch_method<indices_within>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_indices_within($self, lats, lons, radius_km, *, "
     "return_distance=False, sort=True, count_only=False, workers=1, "
     "where=None)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_INDICES_WITHIN},
    {"get_records_as_strings", as_cfunction(batch_method<records_as_strings>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_records_as_strings($self, "
     "indices)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_RECORDS_AS_STRINGS},
    {"get_records_as_columns", as_cfunction(batch_method<records_as_columns>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_records_as_columns($self, "
     "indices)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_GET_RECORDS_AS_COLUMNS},
    {"world", as_cfunction(world), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "world()\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER_WORLD},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef unpickler_definition = {"_loads", as_cfunction(loads),
                                    METH_FASTCALL | METH_KEYWORDS,
                                    "_loads(data)\n--\n\n" QUORVEL_DOC_LOADS};

// The signature CPython shows for the class, then what the class is and how
// it is built.
constexpr char kClassDoc[] =
    "ReverseGeocoder(csv, value_sep=',', "
    "drop_coordinates=False)\n--\n\n" QUORVEL_DOC_REVERSEGEOCODER
    "\n\n" QUORVEL_DOC_REVERSEGEOCODER_NEW;

}  // namespace

bool add_unpickler(PyObject* module) {
  // Named after the package, not the extension: pickles written before the
  // extension moved inside the package name "quorvel._loads", and new ones
  // must stay readable by those versions too.
  PyRef name = PyRef::steal(PyUnicode_FromString("quorvel"));
  if (!name) return false;
  PyRef function = PyRef::steal(
      PyCFunction_NewEx(&unpickler_definition, module, name.get()));
  if (!function) return false;
  if (PyObject_SetAttrString(module, unpickler_definition.ml_name,
                             function.get()) < 0) {
    return false;
  }
  PyObject* expected = nullptr;
  if (unpickler.compare_exchange_strong(expected, function.get(),
                                        std::memory_order_acq_rel)) {
    (void)function.release();  // Kept for the life of the process.
  }
  return true;
}

const ReverseGeocoder* geocoder_of(PyObject* object) {
  PyTypeObject* type = require_geocoder_type();
  if (!Py_IS_TYPE(object, type) && !PyType_IsSubtype(Py_TYPE(object), type)) {
    conversion_type_error(object, kClassName);
    return nullptr;
  }
  return &as_geocoder(object)->geocoder();
}

ValueIndexCache& where_indexes_of(PyObject* object) {
  return *as_geocoder(object)->where_indexes;
}

PyTypeObject* geocoder_type() {
  PyTypeObject* type = type_object.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_methods, methods},
      {Py_tp_getset, getset},
      {Py_sq_length, reinterpret_cast<void*>(geocoder_length)},
      {Py_tp_new, reinterpret_cast<void*>(geocoder_new)},
      {Py_tp_base, &PyBaseObject_Type},
      // The plain slot, not a GC one: neither the class nor object is
      // collected by the cyclic collector.
      {Py_tp_dealloc, reinterpret_cast<void*>(geocoder_dealloc)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {
      // The module part becomes __module__: pickle and every tool that ships
      // functions by reference find the class again as quorvel.ReverseGeocoder.
      "quorvel.ReverseGeocoder",
      static_cast<int>(sizeof(GeocoderObject)),
      0,
      // Immutable: the class is final, and no one may rebind its methods.
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      slots,
  };
  PyObject* created = PyType_FromSpec(&type_spec);
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

}  // namespace quorvel::py

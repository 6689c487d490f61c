#include "python/batch.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "geocoder/batch_queries.h"
#include "geocoder/batch_search.h"
#include "python/call_frame.h"
#include "python/class.h"
#include "python/errors.h"
#include "python/positions.h"
#include "python/ref.h"
#include "python/unlocked.h"

namespace quorvel::py {

// `workers`: n >= 1 threads at most, or -1 for every CPU the process may
// use. A count beyond what any machine has is only an upper bound, so an
// enormous integer is clamped rather than refused.
bool convert_workers(PyObject* object, unsigned* out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return argument_error("workers");
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if (overflow > 0 || value > std::numeric_limits<unsigned>::max()) {
    *out = std::numeric_limits<unsigned>::max();
    return true;
  }
  if (overflow == 0 && value == -1) {
    *out = available_cpus();
    return true;
  }
  if (overflow < 0 || value < 1) {
    set_error(PyExc_ValueError,
              "argument 'workers': must be a positive integer or -1, not " +
                  object_text(index.get()));
    return false;
  }
  *out = static_cast<unsigned>(value);
  return true;
}

namespace {

constexpr const char* kClassName = "ReverseGeocoder";
constexpr double kNoLimit = std::numeric_limits<double>::infinity();
constexpr const char* kPositionParameters[] = {"lats", "lons"};
constexpr const char* kIndicesKeywords[] = {"return_distance", "workers"};
constexpr const char* kWorkersKeyword[] = {"workers"};
constexpr const char* kIndexParameters[] = {"index"};

// `lons` is optional in the binding only: without it `lats` must hold
// pairs, which read_positions checks.
const FunctionDescription kIndicesDescription{kClassName, "get_nearest_indices",
                                              kPositionParameters, 1,
                                              kIndicesKeywords};
const FunctionDescription kStringsDescription{
    kClassName, "get_nearest_as_strings", kPositionParameters, 1,
    kWorkersKeyword};
const FunctionDescription kDictsDescription{kClassName, "get_nearest_as_dicts",
                                            kPositionParameters, 1,
                                            kWorkersKeyword};
const FunctionDescription kColumnsDescription{
    kClassName, "get_nearest_as_columns", kPositionParameters, 1,
    kWorkersKeyword};
const FunctionDescription kRecordStringDescription{
    kClassName, "get_record_as_string", kIndexParameters, 1};
const FunctionDescription kRecordDictDescription{
    kClassName, "get_record_as_dict", kIndexParameters, 1};

// The converted arguments of one batch call. The columns hold their
// buffers until the call returns.
struct BatchInput {
  PositionColumn lats;
  PositionColumn lons;
  unsigned workers = 1;
  bool return_distance = false;
};

bool read_batch(const FunctionDescription& description, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, BatchInput* in) {
  PyObject* slots[4] = {};
  if (!bind_arguments(description, args, nargs, kwnames, slots)) return false;
  const bool has_distance = description.keyword_only.size() == 2;
  PyObject* distance = has_distance ? slots[2] : nullptr;
  PyObject* workers = slots[has_distance ? 3 : 2];
  // Keyword values are only lent by the caller's argument array, which
  // outlives the call; no reference needs to be taken.
  if (distance != nullptr && !convert_bool(distance, &in->return_distance)) {
    return argument_error("return_distance");
  }
  if (workers != nullptr && !convert_workers(workers, &in->workers))
    return false;
  return read_positions(description, slots[0], slots[1], &in->lats, &in->lons);
}

// A new array.array of `count` zeroed elements of `typecode`, with a
// writable view of its memory held until this object goes.
class NewArray {
 public:
  NewArray(const NewArray&) = delete;
  NewArray& operator=(const NewArray&) = delete;
  NewArray() = default;
  ~NewArray() {
    if (held_ && !interpreter_lock_lost()) PyBuffer_Release(&view_);
  }

  bool create(const char* typecode, std::size_t count, Py_ssize_t itemsize) {
    PyRef module = PyRef::steal(PyImport_ImportModule("array"));
    if (!module) return false;
    PyRef zero = PyRef::steal(Py_BuildValue("[i]", 0));
    if (!zero) return false;
    PyRef one = PyRef::steal(
        PyObject_CallMethod(module.get(), "array", "sO", typecode, zero.get()));
    if (!one) return false;
    // Repeating one element copies in doubling blocks: the cheapest way to
    // get an array of the full size from the public interface.
    array_ = PyRef::steal(
        PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(count)));
    if (!array_) return false;
    if (PyObject_GetBuffer(array_.get(), &view_, PyBUF_WRITABLE) < 0)
      return false;
    held_ = true;
    if (view_.itemsize != itemsize ||
        view_.len != static_cast<Py_ssize_t>(count) * itemsize) {
      panic(std::string("array.array('") + typecode + "') does not have " +
            std::to_string(itemsize) + "-byte items");
    }
    return true;
  }

  template <typename T>
  std::span<T> elements() {
    return {static_cast<T*>(view_.buf),
            static_cast<std::size_t>(view_.len) / sizeof(T)};
  }

  // The array; the view is released first, so the caller may resize it.
  PyObject* release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
    return array_.release();
  }

 private:
  PyRef array_;
  Py_buffer view_{};
  bool held_ = false;
};

// One owned Python object per record that a batch hits, made on first use.
// A table as long as the records when the batch is large enough to touch a
// fair part of them, otherwise a hash map, so that a small batch on a large
// geocoder pays only for what it hits.
class PerRecord {
 public:
  PerRecord(std::size_t records, std::size_t positions)
      : dense_(positions >= records / 8) {
    if (dense_) table_.assign(records, nullptr);
  }
  PerRecord(const PerRecord&) = delete;
  PerRecord& operator=(const PerRecord&) = delete;
  ~PerRecord() {
    if (interpreter_lock_lost()) return;
    for (PyObject* o : table_) Py_XDECREF(o);
    for (auto& [item, o] : map_) Py_DECREF(o);
  }

  // The object of `item`, borrowed, or NULL when not made yet.
  PyObject* find(std::uint32_t item) const {
    if (dense_) return table_[item];
    auto it = map_.find(item);
    return it == map_.end() ? nullptr : it->second;
  }
  // Stores `owned` (a new reference) for `item` and returns it, borrowed.
  PyObject* put(std::uint32_t item, PyObject* owned) {
    if (dense_) {
      table_[item] = owned;
    } else {
      map_.emplace(item, owned);
    }
    return owned;
  }

 private:
  bool dense_;
  std::vector<PyObject*> table_;
  std::unordered_map<std::uint32_t, PyObject*> map_;
};

void check_item(std::uint32_t item, std::size_t records) {
  if (item >= records) {
    panic("the search found item " + std::to_string(item) + " but there are " +
          std::to_string(records) + " records");
  }
}

// The dict of a record's fields: keys in column order, one per distinct
// name, the last field of a repeated name winning. `field_str(i)` makes the
// str of field i (a new reference, or NULL with an error raised).
template <typename FieldStr>
PyObject* fields_dict(PyObject* names, std::size_t field_count,
                      FieldStr&& field_str) {
  if (field_count > static_cast<std::size_t>(PyTuple_GET_SIZE(names))) {
    panic("a record has more fields than the geocoder has columns");
  }
  PyRef dict =
      PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(field_count)));
  if (!dict) return nullptr;
  for (std::size_t i = 0; i < field_count; ++i) {
    PyRef value = PyRef::steal(field_str(i));
    if (!value ||
        PyDict_SetItem(dict.get(),
                       PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(i)),
                       value.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

// The dict form of record `item`, as get_nearest_as_dict makes it.
PyObject* record_dict(const BatchTarget& target, std::uint32_t item) {
  Result<csv::Record> record = target.geocoder.record_fields(item);
  if (!record.ok()) {
    raise_core_error(record.error());
    return nullptr;
  }
  const csv::Record& fields = record.value();
  return fields_dict(target.column_names, fields.size(),
                     [&](std::size_t i) { return new_text(fields.field(i)); });
}

// The value of every distinct name for record `item`, as a tuple: the last
// field of that name, or None when the record is too short to have one.
PyObject* record_row(const BatchTarget& target, std::uint32_t item) {
  Result<csv::Record> record = target.geocoder.record_fields(item);
  if (!record.ok()) {
    raise_core_error(record.error());
    return nullptr;
  }
  const csv::Record& fields = record.value();
  const Py_ssize_t width = PyTuple_GET_SIZE(target.distinct_names);
  PyRef row = PyRef::steal(PyTuple_New(width));
  if (!row) return nullptr;
  // A new tuple's slots are NULL, which its release tolerates on an error.
  // Fields beyond the columns were refused by record_fields().
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const auto k = static_cast<Py_ssize_t>(
        target.column_slots == nullptr ? i : target.column_slots[i]);
    PyObject* value = new_text(fields.field(i));
    if (value == nullptr) return nullptr;
    PyObject* earlier = PyTuple_GET_ITEM(row.get(), k);
    PyTuple_SET_ITEM(row.get(), k, value);
    Py_XDECREF(earlier);
  }
  for (Py_ssize_t k = 0; k < width; ++k) {
    if (PyTuple_GET_ITEM(row.get(), k) == nullptr) {
      PyTuple_SET_ITEM(row.get(), k, Py_NewRef(Py_None));
    }
  }
  return row.release();
}

// Where the text of a record's line starts, to be fetched ahead.
inline void prefetch_line(const ReverseGeocoder& geocoder, std::uint32_t item,
                          std::size_t records) {
  if (item < records) __builtin_prefetch(geocoder.line(item).data());
}

// How far ahead of the position being turned into a result its record is
// fetched: enough to cover a miss to memory, few enough to stay in cache.
constexpr std::size_t kPrefetchDistance = 16;

// A list with one element per position: None for a position without a
// record, otherwise `make(item)` (a new reference, NULL with an error), made
// once per distinct record when `shared`, once per position otherwise.
template <typename Make>
PyObject* list_of(const BatchTarget& target,
                  std::span<const std::uint32_t> items, Make&& make) {
  const std::size_t records = target.geocoder.size();
  PerRecord made(records, items.size());
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i + kPrefetchDistance < items.size()) {
      prefetch_line(target.geocoder, items[i + kPrefetchDistance], records);
    }
    const std::uint32_t item = items[i];
    PyObject* value = Py_None;
    if (item != kNoRecord) {
      check_item(item, records);
      value = made.find(item);
      if (value == nullptr) {
        PyObject* created = make(item);
        if (created == nullptr) return nullptr;
        value = made.put(item, created);
      }
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(value));
  }
  return list.release();
}

// The record numbers of a batch, for the forms that only need them inside
// the call.
bool batch_items(const BatchTarget& target,
                 const FunctionDescription& description, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames,
                 std::vector<std::uint32_t>* items) {
  BatchInput in;
  if (!read_batch(description, args, nargs, kwnames, &in)) return false;
  items->resize(in.lats.size());
  return search_positions(target.geocoder, in.lats, in.lons, in.workers,
                          kNoLimit, *items, {});
}

// Record `index` of the geocoder, counting from the end when negative.
bool convert_record_index(PyObject* object, std::size_t records,
                          std::uint32_t* out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return argument_error("index");
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
  const auto count = static_cast<long long>(records);
  if (overflow == 0 && value < 0) value += count;
  if (overflow != 0 || value < 0 || value >= count) {
    set_error(PyExc_IndexError, "record index " + object_text(index.get()) +
                                    " is out of range for " +
                                    std::to_string(records) +
                                    (records == 1 ? " record" : " records"));
    return false;
  }
  *out = static_cast<std::uint32_t>(value);
  return true;
}

bool read_record_index(const BatchTarget& target,
                       const FunctionDescription& description,
                       PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, std::uint32_t* item) {
  PyObject* slots[1];
  if (!bind_arguments(description, args, nargs, kwnames, slots)) return false;
  return convert_record_index(slots[0], target.geocoder.size(), item);
}

}  // namespace

bool read_positions(const FunctionDescription& description, PyObject* lats,
                    PyObject* lons, PositionColumn* lat_column,
                    PositionColumn* lon_column) {
  if (lons == nullptr || lons == Py_None) {
    const int pairs = acquire_pairs(lats, "lats", lat_column, lon_column);
    if (pairs < 0) return false;
    if (pairs == 0) {
      set_error(PyExc_TypeError,
                description.full_name() +
                    " missing 1 required positional argument: 'lons' (pass "
                    "lats and lons as two columns, or one argument of (lat, "
                    "lon) pairs: a sequence of pairs or an n×2 array)");
      return false;
    }
    return true;
  }
  if (!lat_column->acquire(lats, "lats")) return false;
  if (!lon_column->acquire(lons, "lons")) return false;
  return check_same_length(*lat_column, *lon_column);
}

// The positions are searched segment by segment, so that an Arrow column in
// chunks is read where it lies; other columns make one segment. The lock is
// released once around all of them: other Python threads go on meanwhile,
// and a pending Ctrl-C stops the search within about a tenth of a second.
bool search_positions(const ReverseGeocoder& geocoder,
                      const PositionColumn& lats, const PositionColumn& lons,
                      unsigned workers, double max_km,
                      std::span<std::uint32_t> items,
                      std::span<double> distances_km) {
  const std::vector<arrow::PositionSegment> segments =
      position_segments(lats, lons);
  const bool limited = max_km != kNoLimit;
  PyThreadState* state = nullptr;
  StopCheck stop_check = signal_check_unlocked(&state);
  Status status = run_unlocked(&state, [&]() -> Status {
    for (const arrow::PositionSegment& segment : segments) {
      const auto start = static_cast<std::size_t>(segment.start);
      const auto count = static_cast<std::size_t>(segment.lats.length);
      std::span<std::uint32_t> rows = items.subspan(start, count);
      std::span<double> kilometres = distances_km.empty()
                                         ? distances_km
                                         : distances_km.subspan(start, count);
      Status found = limited
                         ? nearest_records_within(geocoder, segment.lats.column,
                                                  segment.lons.column, max_km,
                                                  rows, kilometres, workers)
                         : nearest_records(geocoder, segment.lats.column,
                                           segment.lons.column, rows,
                                           kilometres, workers, stop_check);
      if (!found.ok()) return found;
      if (!limited) chords_to_km(kilometres);
      arrow::clear_null_rows(segment.lats, rows, kilometres);
      arrow::clear_null_rows(segment.lons, rows, kilometres);
    }
    return Status();
  });
  if (!status.ok()) {
    // When the check stopped the search, its exception is the one pending.
    if (!is_interrupted(status.error())) raise_core_error(status.error());
    return false;
  }
  return true;
}

PyObject* nearest_indices(const BatchTarget& target, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  BatchInput in;
  if (!read_batch(kIndicesDescription, args, nargs, kwnames, &in))
    return nullptr;
  // The search writes straight into the memory of the arrays returned.
  NewArray indices;
  if (!indices.create("I", in.lats.size(), sizeof(std::uint32_t)))
    return nullptr;
  NewArray distances;
  if (in.return_distance &&
      !distances.create("d", in.lats.size(), sizeof(double))) {
    return nullptr;
  }
  if (!search_positions(target.geocoder, in.lats, in.lons, in.workers, kNoLimit,
                        indices.elements<std::uint32_t>(),
                        in.return_distance ? distances.elements<double>()
                                           : std::span<double>())) {
    return nullptr;
  }
  PyRef items = PyRef::steal(indices.release());
  if (!in.return_distance) return items.release();
  PyRef kilometres = PyRef::steal(distances.release());
  return PyTuple_Pack(2, items.get(), kilometres.get());
}

PyObject* nearest_as_strings(const BatchTarget& target, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<std::uint32_t> items;
  if (!batch_items(target, kStringsDescription, args, nargs, kwnames, &items)) {
    return nullptr;
  }
  return list_of(target, items, [&](std::uint32_t item) {
    return new_text(target.geocoder.line(item));
  });
}

PyObject* nearest_as_dicts(const BatchTarget& target, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<std::uint32_t> items;
  if (!batch_items(target, kDictsDescription, args, nargs, kwnames, &items)) {
    return nullptr;
  }
  // Dicts are mutable, so each position gets its own; the first dict of a
  // record is kept as a template whose copies share its key and value strs.
  const std::size_t records = target.geocoder.size();
  PerRecord templates(records, items.size());
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::uint32_t item = items[i];
    PyObject* value = Py_None;
    PyRef copy;
    if (item != kNoRecord) {
      check_item(item, records);
      PyObject* model = templates.find(item);
      if (model == nullptr) {
        model = record_dict(target, item);
        if (model == nullptr) return nullptr;
        templates.put(item, model);
      }
      copy = PyRef::steal(PyDict_Copy(model));
      if (!copy) return nullptr;
      value = copy.get();
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(value));
  }
  return list.release();
}

PyObject* nearest_as_columns(const BatchTarget& target, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<std::uint32_t> items;
  if (!batch_items(target, kColumnsDescription, args, nargs, kwnames, &items)) {
    return nullptr;
  }
  const auto width =
      static_cast<std::size_t>(PyTuple_GET_SIZE(target.distinct_names));
  const auto n = static_cast<Py_ssize_t>(items.size());
  std::vector<PyRef> lists;
  lists.reserve(width);
  for (std::size_t k = 0; k < width; ++k) {
    lists.push_back(PyRef::steal(PyList_New(n)));
    if (!lists.back()) return nullptr;
  }
  // Until filled, a list's slots are NULL, which a list tolerates when it
  // is released early on an error.
  const std::size_t records = target.geocoder.size();
  PerRecord rows(records, items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::uint32_t item = items[i];
    PyObject* row = nullptr;
    if (item != kNoRecord) {
      check_item(item, records);
      row = rows.find(item);
      if (row == nullptr) {
        row = record_row(target, item);
        if (row == nullptr) return nullptr;
        rows.put(item, row);
      }
    }
    for (std::size_t k = 0; k < width; ++k) {
      PyObject* value = row == nullptr
                            ? Py_None
                            : PyTuple_GET_ITEM(row, static_cast<Py_ssize_t>(k));
      PyList_SET_ITEM(lists[k].get(), static_cast<Py_ssize_t>(i),
                      Py_NewRef(value));
    }
  }
  PyRef result =
      PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(width)));
  if (!result) return nullptr;
  for (std::size_t k = 0; k < width; ++k) {
    if (PyDict_SetItem(
            result.get(),
            PyTuple_GET_ITEM(target.distinct_names, static_cast<Py_ssize_t>(k)),
            lists[k].get()) < 0) {
      return nullptr;
    }
  }
  return result.release();
}

PyObject* record_as_string(const BatchTarget& target, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  std::uint32_t item;
  if (!read_record_index(target, kRecordStringDescription, args, nargs, kwnames,
                         &item)) {
    return nullptr;
  }
  return new_text(target.geocoder.line(item));
}

PyObject* record_as_dict(const BatchTarget& target, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  std::uint32_t item;
  if (!read_record_index(target, kRecordDictDescription, args, nargs, kwnames,
                         &item)) {
    return nullptr;
  }
  return record_dict(target, item);
}

Py_ssize_t record_total(const ReverseGeocoder& geocoder) {
  return static_cast<Py_ssize_t>(geocoder.size());
}

}  // namespace quorvel::py

#include "python/batch.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "geocoder/batch_queries.h"
#include "geocoder/batch_search.h"
#include "python/call_frame.h"
#include "python/class.h"
#include "python/errors.h"
#include "python/messages.h"
#include "python/new_array.h"
#include "python/positions.h"
#include "python/queries.h"
#include "python/ref.h"
#include "python/unlocked.h"

namespace quorvel::py {
namespace {

constexpr const char* kClassName = "ReverseGeocoder";
constexpr double kNoLimit = std::numeric_limits<double>::infinity();
constexpr const char* kPositionParameters[] = {"lats", "lons"};
constexpr const char* kIndicesKeywords[] = {
    "k", "max_distance_km", "return_distance", "workers", "where"};
constexpr const char* kRowsKeywords[] = {"max_distance_km", "workers", "where"};
constexpr const char* kIndexParameters[] = {"index"};

// `lons` is optional in the binding only: without it `lats` must hold
// pairs, which read_positions checks.

// A slot that a batch method's signature does not have.
constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);

// The signature of a batch method: its description, and the slot of each
// parameter (kNoSlot for one it does not take).
struct BatchSignature {
  FunctionDescription description;
  std::size_t lats;
  std::size_t lons;
  std::size_t k;
  std::size_t max_distance;
  std::size_t return_distance;
  std::size_t workers;
  std::size_t where;
  std::size_t slot_count;
};

// get_nearest_indices(lats, lons, *, k=1, max_distance_km=None,
//                     return_distance=False, workers=1, where=None)
struct IndicesSlot {
  enum : std::size_t {
    kLats,
    kLons,
    kK,
    kMaxDistance,
    kReturnDistance,
    kWorkers,
    kWhere,
    kCount
  };
};
// get_nearest_as_*(lats, lons, *, max_distance_km=None, workers=1,
//                  where=None)
struct RowsSlot {
  enum : std::size_t { kLats, kLons, kMaxDistance, kWorkers, kWhere, kCount };
};
static_assert(std::size(kPositionParameters) + std::size(kIndicesKeywords) ==
              IndicesSlot::kCount);
static_assert(std::size(kPositionParameters) + std::size(kRowsKeywords) ==
              RowsSlot::kCount);
// The most slots any batch signature has.
constexpr std::size_t kMaxBatchSlots = IndicesSlot::kCount;

constexpr BatchSignature rows_signature(const char* function_name) {
  return {{kClassName, function_name, kPositionParameters, 1, kRowsKeywords},
          RowsSlot::kLats,
          RowsSlot::kLons,
          kNoSlot,
          RowsSlot::kMaxDistance,
          kNoSlot,
          RowsSlot::kWorkers,
          RowsSlot::kWhere,
          RowsSlot::kCount};
}

const BatchSignature kIndicesSignature{
    {kClassName, "get_nearest_indices", kPositionParameters, 1,
     kIndicesKeywords},
    IndicesSlot::kLats,
    IndicesSlot::kLons,
    IndicesSlot::kK,
    IndicesSlot::kMaxDistance,
    IndicesSlot::kReturnDistance,
    IndicesSlot::kWorkers,
    IndicesSlot::kWhere,
    IndicesSlot::kCount};
const BatchSignature kStringsSignature =
    rows_signature("get_nearest_as_strings");
const BatchSignature kDictsSignature = rows_signature("get_nearest_as_dicts");
const BatchSignature kColumnsSignature =
    rows_signature("get_nearest_as_columns");
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
  std::size_t k = 1;
  double max_km = kNoLimit;
  PyObject* where = nullptr;  // Borrowed from the caller's arguments.
};

// Drops each record of `rows` farther than `max_km` to kNoRecord, its
// distance in `km` to +inf. A missing position (kNoRecord, NaN) stays as is.
// REQUIRES: km as long as rows, in kilometres.
void drop_beyond(double max_km, std::span<std::uint32_t> rows,
                 std::span<double> km) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i] != kNoRecord && !(km[i] <= max_km)) {
      rows[i] = kNoRecord;
      km[i] = kNoLimit;
    }
  }
}

// `where=` restricts the single nearest record only; the k nearest and the
// searches within a radius have no per-position restriction.
PyObject* where_with_k_error() {
  set_error(PyExc_ValueError,
            "argument 'where': works with k=1 only, not with k > 1");
  return nullptr;
}

// The slot `slot` of `slots`, or NULL when the signature has no such slot
// or the caller left it out.
PyObject* slot_value(PyObject* const* slots, std::size_t slot) {
  return slot == kNoSlot ? nullptr : slots[slot];
}

bool read_batch(const BatchSignature& signature, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, BatchInput* in) {
  PyObject* slots[kMaxBatchSlots] = {};
  if (!bind_arguments(signature.description, args, nargs, kwnames, slots))
    return false;
  PyObject* k = slot_value(slots, signature.k);
  PyObject* max_distance = slot_value(slots, signature.max_distance);
  PyObject* distance = slot_value(slots, signature.return_distance);
  PyObject* workers = slots[signature.workers];
  PyObject* where = slots[signature.where];
  if (where != nullptr && where != Py_None) in->where = where;
  // Keyword values are only lent by the caller's argument array, which
  // outlives the call; no reference needs to be taken.
  if (k != nullptr && !convert_k(k, &in->k)) return false;
  if (max_distance != nullptr &&
      !convert_max_distance(max_distance, &in->max_km)) {
    return false;
  }
  if (distance != nullptr && !convert_bool(distance, &in->return_distance)) {
    return argument_error("return_distance");
  }
  if (workers != nullptr && !convert_workers(workers, &in->workers))
    return false;
  return read_positions(signature.description, slots[signature.lats],
                        slots[signature.lons], &in->lats, &in->lons);
}

// The column that `where` names: the last of that name, as the dict forms
// let the last field of a repeated name win. False with KeyError raised.
bool where_column(const BatchTarget& target, PyObject* name,
                  std::size_t* column) {
  std::string text;
  if (!PyUnicode_Check(name) || !convert_text(name, &text)) {
    PyErr_Clear();
    set_error(PyExc_TypeError,
              "argument 'where': keys must be column names (str), not '" +
                  type_qualname(name) + "'");
    return false;
  }
  const std::vector<std::string>& columns = target.geocoder.columns();
  for (std::size_t i = columns.size(); i-- > 0;) {
    if (columns[i] == text) {
      *column = i;
      return true;
    }
  }
  PyErr_SetObject(PyExc_KeyError, name);
  add_note("argument 'where' names a column the geocoder does not have");
  return false;
}

// Turns the values of `where` into value ids: None is no restriction, a str
// is the id of that value (kAbsentValue when no record has it). Each
// distinct str object is looked up once: a column of countries from
// Regions holds one object per country.
bool where_values(const ValueIndex& index, PyObject* object, std::size_t n,
                  std::vector<std::uint32_t>* ids) {
  PyRef sequence = PyRef::steal(
      PySequence_Fast(object,
                      "argument 'where': each value must be a "
                      "sequence of str or None, one per position"));
  if (!sequence) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  if (static_cast<std::size_t>(count) != n) {
    set_error(PyExc_ValueError, "argument 'where': the column has " +
                                    std::to_string(count) + " values for " +
                                    std::to_string(n) + " positions");
    return false;
  }
  PyObject** items = PySequence_Fast_ITEMS(sequence.get());
  std::unordered_map<PyObject*, std::uint32_t> seen;
  ids->resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* value = items[i];
    if (value == Py_None) {
      (*ids)[i] = kAnyValue;
      continue;
    }
    auto it = seen.find(value);
    if (it != seen.end()) {
      (*ids)[i] = it->second;
      continue;
    }
    if (!PyUnicode_Check(value)) {
      set_error(PyExc_TypeError, "argument 'where': value " +
                                     std::to_string(i) +
                                     " must be a str or None, not '" +
                                     type_qualname(value) + "'");
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) return false;
    const std::uint32_t id =
        index.find(std::string_view(text, static_cast<std::size_t>(size)));
    // The key is borrowed: `sequence` keeps every element alive.
    seen.emplace(value, id);
    (*ids)[i] = id;
  }
  return true;
}

// The search of one batch restricted by `where`: the column's index is
// built (once per geocoder and column) and searched without the lock.
bool search_where(const BatchTarget& target, const BatchInput& in,
                  std::span<std::uint32_t> items, std::span<double> distances) {
  if (!PyDict_Check(in.where)) {
    return conversion_type_error(in.where, "dict") || argument_error("where");
  }
  if (PyDict_GET_SIZE(in.where) != 1) {
    set_error(PyExc_ValueError,
              "argument 'where': must name exactly one column, not " +
                  std::to_string(PyDict_GET_SIZE(in.where)));
    return false;
  }
  Py_ssize_t position = 0;
  PyObject* name = nullptr;
  PyObject* values = nullptr;
  PyDict_Next(in.where, &position, &name, &values);
  // The dict lends its entries; keep them while the lock is released.
  PyRef name_ref = PyRef::borrow(name);
  PyRef values_ref = PyRef::borrow(values);
  std::size_t column = 0;
  if (!where_column(target, name, &column)) return false;
  PyThreadState* state = nullptr;
  Result<const ValueIndex*> index = run_unlocked(&state, [&] {
    return target.where_indexes->get(target.geocoder, column);
  });
  if (!index.ok()) {
    raise_core_error(index.error());
    return false;
  }
  std::vector<std::uint32_t> ids;
  if (!where_values(*index.value(), values, items.size(), &ids)) return false;
  return search_segments(
      in.lats, in.lons, in.max_km, items, distances,
      [&](const arrow::PositionSegment& segment, std::span<std::uint32_t> rows,
          std::span<double> chords, StopCheck& stop_check) {
        const auto start = static_cast<std::size_t>(segment.start);
        return nearest_records_where(target.geocoder, *index.value(),
                                     segment.lats.column, segment.lons.column,
                                     std::span(ids).subspan(start, rows.size()),
                                     rows, chords, in.workers, stop_check);
      });
}

// The search of one batch, run without the interpreter lock: other Python
// threads go on meanwhile, and a pending Ctrl-C stops it within about a
// tenth of a second. Distances, when asked for, come out in km.
bool search(const BatchTarget& target, const BatchInput& in,
            std::span<std::uint32_t> items, std::span<double> distances) {
  if (in.where != nullptr) return search_where(target, in, items, distances);
  return search_positions(target.geocoder, in.lats, in.lons, in.workers,
                          in.max_km, items, distances);
}

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

// The dict form of record `item`, as get_nearest_as_dict makes it.
PyObject* item_dict(const BatchTarget& target, std::uint32_t item) {
  Result<csv::Record> record = target.geocoder.record_fields(item);
  if (!record.ok()) {
    raise_core_error(record.error());
    return nullptr;
  }
  return record_dict(target.column_names, record.value());
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

// Walks the positions of a batch in order, calling `visit(i, object)` for
// position i: `object` is NULL for a position without a record, otherwise
// the record's object made by `make(item)` (a new reference, or NULL with an
// error raised), made once per distinct record in the batch and lent to
// every position that hits it. False as soon as `make` or `visit` fails.
template <typename Make, typename Visit>
bool for_each_position(const BatchTarget& target,
                       std::span<const std::uint32_t> items, Make&& make,
                       Visit&& visit) {
  const std::size_t records = target.geocoder.size();
  PerRecord made(records, items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i + kPrefetchDistance < items.size()) {
      prefetch_line(target.geocoder, items[i + kPrefetchDistance], records);
    }
    const std::uint32_t item = items[i];
    PyObject* object = nullptr;
    if (item != kNoRecord) {
      check_item(item, records);
      object = made.find(item);
      if (object == nullptr) {
        PyObject* created = make(item);
        if (created == nullptr) return false;
        object = made.put(item, created);
      }
    }
    if (!visit(i, object)) return false;
  }
  return true;
}

// What each position of a list gets from its record's object.
enum class PerPosition {
  kShared,  // The object itself: immutable values (str) are shared.
  kCopy,    // A copy of the object (a dict): mutable values are not.
};

// A list with one element per position: None for a position without a
// record, otherwise the record's object `make(item)` made once per distinct
// record (see for_each_position), shared or copied as `kPolicy` says. The
// policy is a template argument so that the per-position loop has no branch
// on it.
template <PerPosition kPolicy, typename Make>
PyObject* list_of(const BatchTarget& target,
                  std::span<const std::uint32_t> items, Make&& make) {
  // Until filled, the list's slots are NULL, which a list tolerates when it
  // is released early on an error.
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  const bool filled = for_each_position(
      target, items, make, [&](std::size_t i, PyObject* object) {
        PyObject* value;
        if (object == nullptr) {
          value = Py_NewRef(Py_None);
        } else if constexpr (kPolicy == PerPosition::kShared) {
          value = Py_NewRef(object);
        } else {
          value = PyDict_Copy(object);
          if (value == nullptr) return false;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
        return true;
      });
  return filled ? list.release() : nullptr;
}

// The record numbers of a batch, for the forms that only need them inside
// the call.
bool batch_items(const BatchTarget& target, const BatchSignature& signature,
                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::vector<std::uint32_t>* items) {
  BatchInput in;
  if (!read_batch(signature, args, nargs, kwnames, &in)) return false;
  items->resize(in.lats.size());
  return search(target, in, *items, {});
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
    set_error(PyExc_ValueError, std::string("argument 'workers': ") +
                                    messages::kBadWorkers +
                                    object_text(index.get()));
    return false;
  }
  *out = static_cast<unsigned>(value);
  return true;
}

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
bool search_segments(const PositionColumn& lats, const PositionColumn& lons,
                     double max_km, std::span<std::uint32_t> items,
                     std::span<double> distances_km,
                     const SegmentSearch& search_segment) {
  const std::vector<arrow::PositionSegment> segments =
      position_segments(lats, lons);
  const bool limited = max_km != kNoLimit;
  // A limit needs the distances even when they are not returned.
  std::vector<double> limit_km;
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
      // The plain search, then the limit on its distances: the same
      // answers and ties as without a limit, and Ctrl-C stops it alike.
      if (limited && kilometres.empty()) {
        limit_km.resize(count);
        kilometres = limit_km;
      }
      Status found = search_segment(segment, rows, kilometres, stop_check);
      if (!found.ok()) return found;
      chords_to_km(kilometres);
      if (limited) drop_beyond(max_km, rows, kilometres);
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

bool search_positions(const ReverseGeocoder& geocoder,
                      const PositionColumn& lats, const PositionColumn& lons,
                      unsigned workers, double max_km,
                      std::span<std::uint32_t> items,
                      std::span<double> distances_km) {
  return search_segments(
      lats, lons, max_km, items, distances_km,
      [&](const arrow::PositionSegment& segment, std::span<std::uint32_t> rows,
          std::span<double> chords, StopCheck& stop_check) {
        return nearest_records(geocoder, segment.lats.column,
                               segment.lons.column, rows, chords, workers,
                               stop_check);
      });
}

PyObject* nearest_indices(const BatchTarget& target, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  BatchInput in;
  if (!read_batch(kIndicesSignature, args, nargs, kwnames, &in)) return nullptr;
  if (in.k > 1) {
    if (in.where != nullptr) return where_with_k_error();
    return nearest_k_indices(target, in.lats, in.lons, in.k, in.max_km,
                             in.return_distance, in.workers);
  }
  // The search writes straight into the memory of the arrays returned.
  NewArray indices;
  if (!indices.create("I", in.lats.size(), sizeof(std::uint32_t)))
    return nullptr;
  NewArray distances;
  if (in.return_distance &&
      !distances.create("d", in.lats.size(), sizeof(double))) {
    return nullptr;
  }
  if (!search(target, in, indices.elements<std::uint32_t>(),
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
  if (!batch_items(target, kStringsSignature, args, nargs, kwnames, &items)) {
    return nullptr;
  }
  return strings_of_records(target, items);
}

PyObject* nearest_as_dicts(const BatchTarget& target, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<std::uint32_t> items;
  if (!batch_items(target, kDictsSignature, args, nargs, kwnames, &items)) {
    return nullptr;
  }
  // Dicts are mutable, so each position gets its own; the first dict of a
  // record is kept as a template whose copies share its key and value strs.
  return list_of<PerPosition::kCopy>(target, items, [&](std::uint32_t item) {
    return item_dict(target, item);
  });
}

PyObject* nearest_as_columns(const BatchTarget& target, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<std::uint32_t> items;
  if (!batch_items(target, kColumnsSignature, args, nargs, kwnames, &items)) {
    return nullptr;
  }
  return columns_of_records(target, items);
}

PyObject* strings_of_records(const BatchTarget& target,
                             std::span<const std::uint32_t> items) {
  return list_of<PerPosition::kShared>(target, items, [&](std::uint32_t item) {
    return new_text(target.geocoder.line(item));
  });
}

PyObject* columns_of_records(const BatchTarget& target,
                             std::span<const std::uint32_t> items) {
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
  // is released early on an error. Each record's row is a tuple of its
  // value strs, which every position that hits the record shares.
  const bool filled = for_each_position(
      target, items,
      [&](std::uint32_t item) { return record_row(target, item); },
      [&](std::size_t i, PyObject* row) {
        for (std::size_t k = 0; k < width; ++k) {
          PyObject* value =
              row == nullptr
                  ? Py_None
                  : PyTuple_GET_ITEM(row, static_cast<Py_ssize_t>(k));
          PyList_SET_ITEM(lists[k].get(), static_cast<Py_ssize_t>(i),
                          Py_NewRef(value));
        }
        return true;
      });
  if (!filled) return nullptr;
  // One dict per call, so it is not worth presizing.
  PyRef result = PyRef::steal(PyDict_New());
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
  return item_dict(target, item);
}

Py_ssize_t record_total(const ReverseGeocoder& geocoder) {
  return static_cast<Py_ssize_t>(geocoder.size());
}

}  // namespace quorvel::py

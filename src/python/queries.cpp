#include "python/queries.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "arrow/number_import.h"
#include "base/interrupt.h"
#include "geocoder/batch_queries.h"
#include "geocoder/duplicates.h"
#include "python/call_frame.h"
#include "python/errors.h"
#include "python/new_array.h"
#include "python/positions.h"
#include "python/ref.h"
#include "python/unlocked.h"

namespace quorvel::py {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

constexpr const char* kClassName = "ReverseGeocoder";
constexpr const char* kWithinParameters[] = {"lats", "lons", "radius_km"};
constexpr const char* kWithinKeywords[] = {"return_distance", "sort",
                                           "count_only", "workers", "where"};
constexpr const char* kIndicesParameter[] = {"indices"};

const FunctionDescription kWithinDescription{
    kClassName, "get_indices_within", kWithinParameters, 3, kWithinKeywords};
const FunctionDescription kRecordStringsDescription{
    kClassName, "get_records_as_strings", kIndicesParameter, 1};
const FunctionDescription kRecordColumnsDescription{
    kClassName, "get_records_as_columns", kIndicesParameter, 1};

// Positions per slice of a search. Between slices the search looks for a
// pending Ctrl-C; a slice takes tens of milliseconds, against the tens of
// microseconds its worker threads take to start again.
constexpr std::size_t kSlice = std::size_t{1} << 16;

// The elements of `column` from element `begin` on.
NumberColumn column_from(const NumberColumn& column, std::size_t begin) {
  return {static_cast<const char*>(column.data) +
              static_cast<std::ptrdiff_t>(begin) * column.stride_bytes,
          column.stride_bytes, column.format};
}

// A part of `values` for positions [begin, end) with `width` values each, or
// the empty span when `values` is empty (no distances asked for).
template <typename T>
std::span<T> rows_of(std::span<T> values, std::size_t begin, std::size_t end,
                     std::size_t width = 1) {
  if (values.empty()) return values;
  return values.subspan(begin * width, (end - begin) * width);
}

// Runs `slice(begin, end)`, which returns a Status, over the positions
// [0, n) slice by slice without the interpreter lock. False with an
// exception raised: the core error, or the pending KeyboardInterrupt when
// Ctrl-C stopped it. A C++ exception (std::bad_alloc) passes on with the
// lock taken back.
template <typename Slice>
bool run_sliced(std::size_t n, Slice&& slice) {
  PyThreadState* state = nullptr;
  StopCheck stop_check = signal_check_unlocked(&state);
  Status status = run_unlocked(&state, [&]() -> Status {
    for (std::size_t begin = 0; begin < n; begin += kSlice) {
      if (begin > 0 && stop_check.due()) return interrupted();
      Status done = slice(begin, std::min(n, begin + kSlice));
      if (!done.ok()) return done;
    }
    return Status::Ok();
  });
  if (!status.ok()) {
    // When the check stopped the search, its exception is the one pending.
    if (!is_interrupted(status.error())) raise_core_error(status.error());
    return false;
  }
  return true;
}

std::string number_text(double value) {
  PyRef number = PyRef::steal(PyFloat_FromDouble(value));
  if (!number) return "?";
  return object_text(number.get());
}

// An n×k view of `array`, an array.array of n*k items of `format`, which
// NumPy reads without copying. A memoryview refuses a cast to a shape with
// a zero in it, so an empty result is a view of no memory with its shape
// set directly.
PyObject* as_matrix(PyObject* array, const char* format, Py_ssize_t itemsize,
                    std::size_t n, std::size_t k) {
  if (n == 0) {
    static char nothing[8];
    Py_ssize_t shape[2] = {0, static_cast<Py_ssize_t>(k)};
    Py_ssize_t strides[2] = {static_cast<Py_ssize_t>(k) * itemsize, itemsize};
    Py_buffer view{};
    view.buf = nothing;
    view.len = 0;
    view.itemsize = itemsize;
    view.ndim = 2;
    view.format = const_cast<char*>(format);
    view.shape = shape;
    view.strides = strides;
    // The memoryview copies the shape and strides into itself.
    return PyMemoryView_FromBuffer(&view);
  }
  PyRef whole = PyRef::steal(PyMemoryView_FromObject(array));
  if (!whole) return nullptr;
  PyRef bytes =
      PyRef::steal(PyObject_CallMethod(whole.get(), "cast", "s", "B"));
  if (!bytes) return nullptr;
  PyRef shape = PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(n),
                                           static_cast<Py_ssize_t>(k)));
  if (!shape) return nullptr;
  return PyObject_CallMethod(bytes.get(), "cast", "sO", format, shape.get());
}

// The numbers of a column as one NumberColumn: read in place, unless it is
// an Arrow column, whose chunks are copied into one float64 array with NaN
// for a null (a missing position, as the searches take NaN). The searches
// here cut their input into slices of their own, which need one column.
class PlainNumbers {
 public:
  explicit PlainNumbers(const PositionColumn& source) {
    const arrow::NumberChunks* chunks = source.arrow_chunks();
    if (chunks == nullptr) {
      column_ = source.column();
      return;
    }
    copy_.reserve(source.size());
    for (const arrow::NumberView& view : chunks->views()) {
      for (std::int64_t i = 0; i < view.length; ++i) {
        copy_.push_back(
            view.is_null(i)
                ? std::numeric_limits<double>::quiet_NaN()
                : column_value(view.column, static_cast<std::size_t>(i)));
      }
    }
    column_ = {copy_.data(), sizeof(double), NumberFormat::kFloat64};
  }
  PlainNumbers(const PlainNumbers&) = delete;
  PlainNumbers& operator=(const PlainNumbers&) = delete;

  const NumberColumn& column() const { return column_; }

 private:
  std::vector<double> copy_;
  NumberColumn column_;
};

// `radius_km`: one number for every position, or a column of one per
// position; every radius non-negative (not NaN).
class Radii {
 public:
  Radii() = default;
  Radii(const Radii&) = delete;
  Radii& operator=(const Radii&) = delete;

  // False with an error naming the argument (and the position, for a
  // column) raised.
  bool acquire(PyObject* object, std::size_t n) {
    if (is_one_number(object)) {
      if (!convert_double(object, &single_)) return argument_error("radius_km");
      if (!(single_ >= 0.0)) {
        set_error(PyExc_ValueError,
                  "argument 'radius_km': must be a non-negative number, not " +
                      object_text(object));
        return false;
      }
      // A stride of 0 reads the one radius for every position.
      column_ = {&single_, 0, NumberFormat::kFloat64};
      return true;
    }
    if (!values_.acquire(object, "radius_km")) return false;
    if (values_.size() != n) {
      set_error(PyExc_ValueError,
                "argument 'radius_km': expected one number or one radius per "
                "position (" +
                    std::to_string(n) + "), got " +
                    std::to_string(values_.size()) + " radii");
      return false;
    }
    plain_.emplace(values_);
    column_ = plain_->column();
    for (std::size_t i = 0; i < n; ++i) {
      const double km = column_value(column_, i);
      if (!(km >= 0.0)) {
        set_error(PyExc_ValueError,
                  "argument 'radius_km': the radius at position " +
                      std::to_string(i) + " is " + number_text(km) +
                      "; a radius must be a non-negative number");
        return false;
      }
    }
    return true;
  }

  const NumberColumn& column() const { return column_; }

 private:
  // A number rather than a column: a float or int, or any other object
  // with a float conversion that cannot be iterated (a NumPy scalar).
  static bool is_one_number(PyObject* object) {
    if (PyFloat_Check(object) || PyLong_Check(object)) return true;
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    return number != nullptr &&
           (number->nb_float != nullptr || number->nb_index != nullptr) &&
           Py_TYPE(object)->tp_iter == nullptr && !PySequence_Check(object);
  }

  double single_ = 0.0;
  PositionColumn values_;
  std::optional<PlainNumbers> plain_;
  NumberColumn column_;
};

bool read_flag(PyObject* object, const char* name, bool* out) {
  return object == nullptr || convert_bool(object, out) || argument_error(name);
}

// Raises the IndexError of a record number `text` at `position`.
bool index_error(const std::string& text, std::size_t position,
                 std::size_t records) {
  set_error(PyExc_IndexError, "argument 'indices': record index " + text +
                                  " at position " + std::to_string(position) +
                                  " is out of range for " +
                                  std::to_string(records) +
                                  (records == 1 ? " record" : " records"));
  return false;
}

// Reads record numbers into `out`, each checked: kNoRecord (4294967295)
// stays, any other number outside [0, records) is an IndexError.
class IndexReader {
 public:
  IndexReader(std::size_t records, std::vector<std::uint32_t>* out)
      : records_(records), out_(out) {}

  // False with an error naming the argument raised.
  bool read(PyObject* object) {
    if (PyUnicode_Check(object) || PyBytes_Check(object) ||
        PyByteArray_Check(object)) {
      set_error(PyExc_TypeError,
                "argument 'indices': expected a column of integers, not '" +
                    type_qualname(object) + "'");
      return false;
    }
    const int taken = read_buffer(object);
    if (taken != 0) return taken > 0;
    PyRef array;
    if (!PyObject_CheckBuffer(object) &&
        PyObject_HasAttrString(object, "__array__")) {
      array = PyRef::steal(PyObject_CallMethod(object, "__array__", nullptr));
      if (!array) return false;
      object = array.get();
      const int from_array = read_buffer(object);
      if (from_array != 0) return from_array > 0;
    }
    return read_elements(object);
  }

 private:
  // Reads a 1-D buffer of native integers. 1 when read, 0 when `object` is
  // to be read element by element, -1 with an error raised.
  int read_buffer(PyObject* object) {
    if (!PyObject_CheckBuffer(object)) return 0;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
      PyErr_Clear();
      return 0;
    }
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&view};
    if (view.ndim != 1) {
      set_error(PyExc_ValueError,
                "argument 'indices': expected a one-dimensional column, got " +
                    std::to_string(view.ndim) + " dimensions");
      return -1;
    }
    bool is_signed = false;
    if (!integer_items(view, &is_signed)) return 0;
    const auto n = static_cast<std::size_t>(view.shape[0]);
    out_->resize(n);
    const char* at = static_cast<const char*>(view.buf);
    const Py_ssize_t stride = view.strides[0];
    for (std::size_t i = 0; i < n; ++i, at += stride) {
      std::uint64_t value;
      bool negative = false;
      switch (view.itemsize) {
        case 1:
          value = load<std::int8_t, std::uint8_t>(at, is_signed, &negative);
          break;
        case 2:
          value = load<std::int16_t, std::uint16_t>(at, is_signed, &negative);
          break;
        case 4:
          value = load<std::int32_t, std::uint32_t>(at, is_signed, &negative);
          break;
        default:
          value = load<std::int64_t, std::uint64_t>(at, is_signed, &negative);
          break;
      }
      if (negative || !store(value, i)) {
        index_error(negative ? negative_text(at, view) : std::to_string(value),
                    i, records_);
        return -1;
      }
    }
    return 1;
  }

  // Whether the buffer holds integers of 1, 2, 4 or 8 bytes in native byte
  // order, and whether they are signed.
  static bool integer_items(const Py_buffer& view, bool* is_signed) {
    const char* format = view.format == nullptr ? "B" : view.format;
    constexpr bool kLittle = std::endian::native == std::endian::little;
    if (*format == '@' || *format == '=' || (*format == '<' && kLittle) ||
        ((*format == '>' || *format == '!') && !kLittle)) {
      ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return false;
    if (std::strchr("bhilqn", format[0]) != nullptr) {
      *is_signed = true;
    } else if (std::strchr("BHILQN", format[0]) != nullptr) {
      *is_signed = false;
    } else {
      return false;
    }
    return view.itemsize == 1 || view.itemsize == 2 || view.itemsize == 4 ||
           view.itemsize == 8;
  }

  template <typename Signed, typename Unsigned>
  static std::uint64_t load(const char* at, bool is_signed, bool* negative) {
    if (is_signed) {
      Signed value;
      std::memcpy(&value, at, sizeof value);
      *negative = value < 0;
      return static_cast<std::uint64_t>(value);
    }
    Unsigned value;
    std::memcpy(&value, at, sizeof value);
    return value;
  }

  static std::string negative_text(const char* at, const Py_buffer& view) {
    std::int64_t value = 0;
    switch (view.itemsize) {
      case 1:
        value = *reinterpret_cast<const std::int8_t*>(at);
        break;
      case 2: {
        std::int16_t v;
        std::memcpy(&v, at, sizeof v);
        value = v;
        break;
      }
      case 4: {
        std::int32_t v;
        std::memcpy(&v, at, sizeof v);
        value = v;
        break;
      }
      default:
        std::memcpy(&value, at, sizeof value);
    }
    return std::to_string(value);
  }

  // Stores a non-negative record number at `position`; false when it names
  // no record.
  bool store(std::uint64_t value, std::size_t position) {
    if (value == kNoRecord) {
      (*out_)[position] = kNoRecord;
      return true;
    }
    if (value >= records_) return false;
    (*out_)[position] = static_cast<std::uint32_t>(value);
    return true;
  }

  bool read_elements(PyObject* object) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      set_error(PyExc_TypeError,
                "argument 'indices': expected a column of integers, not '" +
                    type_qualname(object) + "'");
      return false;
    }
    out_->clear();
    for (std::size_t i = 0;; ++i) {
      PyRef element = PyRef::steal(PyIter_Next(iterator.get()));
      if (!element) {
        if (PyErr_Occurred()) return false;
        return true;
      }
      PyRef index = PyRef::steal(PyNumber_Index(element.get()));
      if (!index) return argument_error("indices");
      int overflow = 0;
      const long long value =
          PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
      out_->push_back(kNoRecord);
      if (overflow != 0 || value < 0 ||
          !store(static_cast<std::uint64_t>(value), i)) {
        return index_error(object_text(index.get()), i, records_);
      }
    }
  }

  std::size_t records_;
  std::vector<std::uint32_t>* out_;
};

bool read_record_indices(const BatchTarget& target,
                         const FunctionDescription& description,
                         PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, std::vector<std::uint32_t>* items) {
  PyObject* slots[1];
  if (!bind_arguments(description, args, nargs, kwnames, slots)) return false;
  return IndexReader(target.geocoder.size(), items).read(slots[0]);
}

// The compressed rows of get_indices_within, laid out from the slices'
// results. Each slice is freed as soon as it is copied, so the peak is the
// results once plus one slice.
PyObject* within_rows(std::vector<WithinRows>& slices, std::size_t n,
                      bool return_distance) {
  std::uint64_t total = 0;
  for (const WithinRows& rows : slices) total += rows.total();
  if (total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / sizeof(double)) {
    return PyErr_NoMemory();
  }
  NewArray offsets;
  if (!offsets.create("Q", n + 1, sizeof(std::uint64_t))) return nullptr;
  NewArray indices;
  if (!indices.create("I", total, sizeof(std::uint32_t))) return nullptr;
  NewArray distances;
  if (return_distance && !distances.create("d", total, sizeof(double))) {
    return nullptr;
  }
  std::span<std::uint64_t> all_offsets = offsets.elements<std::uint64_t>();
  std::span<std::uint32_t> all_items = indices.elements<std::uint32_t>();
  std::span<double> all_km =
      return_distance ? distances.elements<double>() : std::span<double>();
  PyThreadState* state = nullptr;
  run_unlocked(&state, [&] {
    std::size_t position = 0;
    std::uint64_t at = 0;
    for (WithinRows& slice : slices) {
      const WithinRows rows = std::move(slice);
      const std::size_t count = rows.positions();
      std::span<std::uint64_t> slice_offsets =
          all_offsets.subspan(position, count + 1);
      rows.copy_to(slice_offsets, all_items.subspan(at, rows.total()),
                   return_distance ? all_km.subspan(at, rows.total())
                                   : std::span<double>());
      // copy_to counts from 0 within the slice.
      for (std::uint64_t& offset : slice_offsets) offset += at;
      position += count;
      at += rows.total();
    }
    return 0;
  });
  PyRef offsets_array = PyRef::steal(offsets.release());
  PyRef indices_array = PyRef::steal(indices.release());
  if (!return_distance) {
    return PyTuple_Pack(2, offsets_array.get(), indices_array.get());
  }
  PyRef distances_array = PyRef::steal(distances.release());
  return PyTuple_Pack(3, offsets_array.get(), indices_array.get(),
                      distances_array.get());
}

// The rows of one slice laid out flat, for the records the index does not
// hold to be added to them.
struct SliceRows {
  SliceRows() = default;
  explicit SliceRows(const WithinRows& rows)
      : offsets(rows.positions() + 1),
        items(rows.total()),
        km(rows.has_distances() ? rows.total() : 0) {
    rows.copy_to(offsets, items, km);
  }

  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> items;
  std::vector<double> km;  // Empty when not kept.
};

// get_indices_within's result from slices laid out flat.
PyObject* grown_rows(std::vector<SliceRows>& slices, std::size_t n,
                     bool return_distance) {
  std::uint64_t total = 0;
  for (const SliceRows& rows : slices) total += rows.items.size();
  if (total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / sizeof(double)) {
    return PyErr_NoMemory();
  }
  NewArray offsets;
  if (!offsets.create("Q", n + 1, sizeof(std::uint64_t))) return nullptr;
  NewArray indices;
  if (!indices.create("I", total, sizeof(std::uint32_t))) return nullptr;
  NewArray distances;
  if (return_distance && !distances.create("d", total, sizeof(double))) {
    return nullptr;
  }
  std::span<std::uint64_t> all_offsets = offsets.elements<std::uint64_t>();
  std::span<std::uint32_t> all_items = indices.elements<std::uint32_t>();
  std::span<double> all_km =
      return_distance ? distances.elements<double>() : std::span<double>();
  std::size_t position = 0;
  std::uint64_t at = 0;
  for (SliceRows& slice : slices) {
    const SliceRows rows = std::move(slice);
    const std::size_t count = rows.offsets.size() - 1;
    for (std::size_t i = 0; i <= count; ++i) {
      all_offsets[position + i] = at + rows.offsets[i];
    }
    std::copy(rows.items.begin(), rows.items.end(), all_items.begin() + at);
    if (return_distance) {
      std::copy(rows.km.begin(), rows.km.end(), all_km.begin() + at);
    }
    position += count;
    at += rows.items.size();
  }
  all_offsets[n] = at;
  PyRef offsets_array = PyRef::steal(offsets.release());
  PyRef indices_array = PyRef::steal(indices.release());
  if (!return_distance) {
    return PyTuple_Pack(2, offsets_array.get(), indices_array.get());
  }
  PyRef distances_array = PyRef::steal(distances.release());
  return PyTuple_Pack(3, offsets_array.get(), indices_array.get(),
                      distances_array.get());
}

}  // namespace

bool convert_k(PyObject* object, std::size_t* out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return argument_error("k");
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 1)) {
    set_error(PyExc_ValueError,
              "argument 'k': must be a positive integer, not " +
                  object_text(index.get()));
    return false;
  }
  // A k too large for memory fails as a MemoryError when its result is made.
  *out = overflow > 0 ? std::numeric_limits<std::size_t>::max()
                      : static_cast<std::size_t>(value);
  return true;
}

bool convert_max_distance(PyObject* object, double* out) {
  if (object == Py_None) {
    *out = kInf;
    return true;
  }
  double value;
  if (!convert_double(object, &value)) return argument_error("max_distance_km");
  if (!(value >= 0.0)) {
    set_error(PyExc_ValueError,
              "argument 'max_distance_km': must be a non-negative number or "
              "None, not " +
                  object_text(object));
    return false;
  }
  *out = value;
  return true;
}

PyObject* nearest_k_indices(const BatchTarget& target,
                            const PositionColumn& lat_column,
                            const PositionColumn& lon_column, std::size_t k,
                            double max_km, bool return_distance,
                            unsigned workers) {
  const std::size_t n = lat_column.size();
  const PlainNumbers plain_lats(lat_column);
  const PlainNumbers plain_lons(lon_column);
  const NumberColumn& lats = plain_lats.column();
  const NumberColumn& lons = plain_lons.column();
  // Refused before n * k could overflow: no memory holds such a result.
  if (n != 0 &&
      k > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(double) / n) {
    return PyErr_NoMemory();
  }
  NewArray indices;
  if (!indices.create("I", n * k, sizeof(std::uint32_t))) return nullptr;
  NewArray distances;
  if (return_distance && !distances.create("d", n * k, sizeof(double))) {
    return nullptr;
  }
  std::span<std::uint32_t> items = indices.elements<std::uint32_t>();
  std::span<double> km =
      return_distance ? distances.elements<double>() : std::span<double>();
  // Records the index does not hold join their group's rows, which needs
  // the distances even when they are not returned.
  std::vector<double> slice_km;
  if (!run_sliced(n, [&](std::size_t begin, std::size_t end) {
        const DuplicateTable& table = target.duplicates.get();
        std::span<double> row_km = rows_of(km, begin, end, k);
        if (!table.empty() && row_km.empty()) {
          slice_km.resize((end - begin) * k);
          row_km = slice_km;
        }
        std::span<std::uint32_t> row_items = rows_of(items, begin, end, k);
        Status found = nearest_k_records(
            target.geocoder, column_from(lats, begin), column_from(lons, begin),
            k, max_km, row_items, row_km, workers);
        if (found.ok()) expand_k_rows(table, k, row_items, row_km);
        return found;
      })) {
    return nullptr;
  }
  PyRef items_array = PyRef::steal(indices.release());
  PyRef items_matrix = PyRef::steal(
      as_matrix(items_array.get(), "I", sizeof(std::uint32_t), n, k));
  if (!items_matrix || !return_distance) return items_matrix.release();
  PyRef km_array = PyRef::steal(distances.release());
  PyRef km_matrix =
      PyRef::steal(as_matrix(km_array.get(), "d", sizeof(double), n, k));
  if (!km_matrix) return nullptr;
  return PyTuple_Pack(2, items_matrix.get(), km_matrix.get());
}

PyObject* indices_within(const BatchTarget& target, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[8] = {};
  if (!bind_arguments(kWithinDescription, args, nargs, kwnames, slots)) {
    return nullptr;
  }
  // `where=` restricts the single nearest record only: a radius search has
  // no one record per position to restrict.
  if (slots[7] != nullptr && slots[7] != Py_None) {
    set_error(PyExc_ValueError,
              "argument 'where': works with k=1 only, not with "
              "get_indices_within");
    return nullptr;
  }
  bool return_distance = false;
  bool sort = true;
  bool count_only = false;
  unsigned workers = 1;
  if (!read_flag(slots[3], "return_distance", &return_distance) ||
      !read_flag(slots[4], "sort", &sort) ||
      !read_flag(slots[5], "count_only", &count_only) ||
      (slots[6] != nullptr && !convert_workers(slots[6], &workers))) {
    return nullptr;
  }
  if (count_only && return_distance) {
    set_error(PyExc_ValueError,
              "count_only=True cannot be combined with return_distance=True: "
              "counts come without distances");
    return nullptr;
  }
  PositionColumn lats;
  PositionColumn lons;
  if (!lats.acquire(slots[0], "lats") || !lons.acquire(slots[1], "lons") ||
      !check_same_length(lats, lons)) {
    return nullptr;
  }
  const std::size_t n = lats.size();
  Radii radii;
  if (!radii.acquire(slots[2], n)) return nullptr;
  const ReverseGeocoder& geocoder = target.geocoder;
  const LazyDuplicates& duplicates = target.duplicates;
  const PlainNumbers plain_lats(lats);
  const PlainNumbers plain_lons(lons);
  const auto slice_columns = [&](std::size_t begin) {
    return std::make_tuple(column_from(plain_lats.column(), begin),
                           column_from(plain_lons.column(), begin),
                           column_from(radii.column(), begin));
  };

  if (count_only) {
    NewArray counts;
    if (!counts.create("Q", n, sizeof(std::uint64_t))) return nullptr;
    std::span<std::uint64_t> out = counts.elements<std::uint64_t>();
    if (!run_sliced(n, [&](std::size_t begin, std::size_t end) -> Status {
          const auto [slice_lats, slice_lons, slice_radii] =
              slice_columns(begin);
          const DuplicateTable& table = duplicates.get();
          if (table.empty()) {
            return count_records_within(
                geocoder, slice_lats, slice_lons, slice_radii,
                out.subspan(begin, end - begin), workers);
          }
          // A count skips whole subtrees without naming their records, so
          // groups are counted from the records themselves.
          Result<WithinRows> rows =
              records_within(geocoder, slice_lats, slice_lons, slice_radii,
                             end - begin, false, false, workers);
          if (!rows.ok()) return std::move(rows).error();
          SliceRows flat(rows.value());
          for (std::size_t i = 0; i < end - begin; ++i) {
            std::uint64_t count = flat.offsets[i + 1] - flat.offsets[i];
            for (std::uint64_t at = flat.offsets[i]; at < flat.offsets[i + 1];
                 ++at) {
              count += table.followers(flat.items[at]).size();
            }
            out[begin + i] = count;
          }
          return Status::Ok();
        })) {
      return nullptr;
    }
    return counts.release();
  }

  std::vector<WithinRows> slices;
  std::vector<SliceRows> grown;
  if (!run_sliced(n, [&](std::size_t begin, std::size_t end) -> Status {
        const auto [slice_lats, slice_lons, slice_radii] = slice_columns(begin);
        const DuplicateTable& table = duplicates.get();
        // Ordering a row that grew needs the distances.
        Result<WithinRows> rows = records_within(
            geocoder, slice_lats, slice_lons, slice_radii, end - begin,
            return_distance || (sort && !table.empty()), sort, workers);
        if (!rows.ok()) return std::move(rows).error();
        if (table.empty()) {
          slices.push_back(std::move(rows).value());
        } else {
          const SliceRows flat(rows.value());
          grown.emplace_back();
          SliceRows& out = grown.back();
          expand_within_rows(table, flat.offsets, flat.items, flat.km, sort,
                             &out.offsets, &out.items, &out.km);
          if (!return_distance) std::vector<double>().swap(out.km);
        }
        return Status::Ok();
      })) {
    return nullptr;
  }
  if (!grown.empty()) return grown_rows(grown, n, return_distance);
  return within_rows(slices, n, return_distance);
}

PyObject* records_as_strings(const BatchTarget& target, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<std::uint32_t> items;
  if (!read_record_indices(target, kRecordStringsDescription, args, nargs,
                           kwnames, &items)) {
    return nullptr;
  }
  return strings_of_records(target, items);
}

PyObject* records_as_columns(const BatchTarget& target, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<std::uint32_t> items;
  if (!read_record_indices(target, kRecordColumnsDescription, args, nargs,
                           kwnames, &items)) {
    return nullptr;
  }
  return columns_of_records(target, items);
}

}  // namespace quorvel::py

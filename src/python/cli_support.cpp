#include "python/cli_support.h"

#include <atomic>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/interrupt.h"
#include "geocoder/batch_search.h"
#include "geocoder/table_rows.h"
#include "python/call_frame.h"
#include "python/class.h"
#include "python/errors.h"
#include "python/ref.h"
#include "python/regions_class.h"
#include "python/unlocked.h"

namespace quorvel::py {
namespace {

constexpr const char* kModuleName = "quorvel._core";
constexpr const char* kCapsuleName = "quorvel._core.TableAppender";
// Rows reported by line per chunk; the caller keeps only the first few of
// the whole run anyway.
constexpr std::size_t kReportedLines = 10;

constexpr const char* kAppenderParameters[] = {"geocoder", "sep", "fields",
                                               "distance", "max_distance_km"};
constexpr const char* kAppenderKeywords[] = {
    "regions", "region_fields", "region_match", "match_column", "border_km"};
// The appender's argument slots, positional then keyword.
enum AppenderSlot : std::size_t {
  kGeocoderSlot,
  kSepSlot,
  kFieldsSlot,
  kDistanceSlot,
  kMaxDistanceSlot,
  kRegionsSlot,
  kRegionFieldsSlot,
  kRegionMatchSlot,
  kMatchColumnSlot,
  kBorderKmSlot,
  kAppenderSlots,
};
constexpr const char* kChunkParameters[] = {"appender",   "chunk", "lat_column",
                                            "lon_column", "final", "workers"};
constexpr const char* kFirstRowParameters[] = {"chunk", "sep", "final"};
const FunctionDescription kAppenderDescription{
    kModuleName, "_table_appender", kAppenderParameters, 5, kAppenderKeywords};
const FunctionDescription kChunkDescription{kModuleName, "_geocode_table_chunk",
                                            kChunkParameters, 6};
const FunctionDescription kFirstRowDescription{kModuleName, "_table_first_row",
                                               kFirstRowParameters, 3};

// What the capsule owns. `geocoder` and `regions` keep the instances the
// appender reads alive; `busy` refuses a second caller while the lock is
// released.
struct AppenderState {
  PyRef geocoder;
  PyRef regions;
  std::optional<PlaceAppender> appender;
  TableRows rows;
  std::string output;
  std::atomic<bool> busy{false};
};

void destroy_appender(PyObject* capsule) {
  delete static_cast<AppenderState*>(
      PyCapsule_GetPointer(capsule, kCapsuleName));
}

// A one-byte ASCII separator that can stand between fields.
bool convert_sep(PyObject* object, std::uint8_t* out) {
  char32_t sep = 0;
  if (!convert_char(object, &sep)) return argument_error("sep");
  if (sep >= 0x80 || sep == '"' || sep == '\r' || sep == '\n') {
    set_error(PyExc_ValueError,
              "argument 'sep': must be one ASCII character other than a "
              "quote or a line break");
    return false;
  }
  *out = static_cast<std::uint8_t>(sep);
  return true;
}

bool convert_size(PyObject* object, const char* name, std::size_t* out) {
  const Py_ssize_t value = PyNumber_AsSsize_t(object, PyExc_OverflowError);
  if (value == -1 && PyErr_Occurred()) return argument_error(name);
  if (value < 0) {
    set_error(PyExc_ValueError,
              std::string("argument '") + name + "': must not be negative");
    return false;
  }
  *out = static_cast<std::size_t>(value);
  return true;
}

// A sequence of column numbers.
bool convert_sizes(PyObject* object, const char* name,
                   std::vector<std::size_t>* out) {
  PyRef items = PyRef::steal(PySequence_Fast(object, "must be a sequence"));
  if (!items) return argument_error(name);
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    std::size_t value = 0;
    if (!convert_size(PySequence_Fast_GET_ITEM(items.get(), i), name, &value)) {
      return false;
    }
    out->push_back(value);
  }
  return true;
}

// Fills the border options from the keyword slots when `regions` is given:
// the geocoder's value index over `match_column` is built here (once per
// geocoder and column) without the lock.
bool convert_borders(PyObject* const* slots, PyObject* geocoder_object,
                     const ReverseGeocoder& geocoder, BorderOptions* out) {
  PyObject* regions_object = slots[kRegionsSlot];
  if (regions_object == nullptr || regions_object == Py_None) return true;
  out->regions = regions_of(regions_object);
  if (out->regions == nullptr) return argument_error("regions");
  if (slots[kRegionFieldsSlot] != nullptr &&
      !convert_sizes(slots[kRegionFieldsSlot], "region_fields",
                     &out->region_fields)) {
    return false;
  }
  std::size_t match_column = 0;
  if (slots[kRegionMatchSlot] == nullptr ||
      slots[kMatchColumnSlot] == nullptr) {
    set_error(PyExc_TypeError,
              "borders need both region_match and match_column");
    return false;
  }
  if (!convert_size(slots[kRegionMatchSlot], "region_match",
                    &out->region_match) ||
      !convert_size(slots[kMatchColumnSlot], "match_column", &match_column)) {
    return false;
  }
  if (match_column >= geocoder.columns().size()) {
    set_error(PyExc_ValueError,
              "argument 'match_column': not a column of the geocoder");
    return false;
  }
  if (slots[kBorderKmSlot] != nullptr &&
      !convert_double(slots[kBorderKmSlot], &out->max_distance_km)) {
    return argument_error("border_km");
  }
  ValueIndexCache& cache = where_indexes_of(geocoder_object);
  PyThreadState* thread = nullptr;
  Result<const ValueIndex*> index =
      run_unlocked(&thread, [&] { return cache.get(geocoder, match_column); });
  if (!index.ok()) {
    raise_core_error(index.error());
    return false;
  }
  out->values = index.value();
  return true;
}

PyObject* table_appender(PyObject* /*module*/, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[kAppenderSlots] = {};
    if (!bind_arguments(kAppenderDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    const ReverseGeocoder* geocoder = geocoder_of(slots[kGeocoderSlot]);
    if (geocoder == nullptr) return argument_error("geocoder"), nullptr;
    AppendOptions options;
    if (!convert_sep(slots[kSepSlot], &options.sep)) return nullptr;
    if (!convert_sizes(slots[kFieldsSlot], "fields", &options.fields)) {
      return nullptr;
    }
    if (!convert_bool(slots[kDistanceSlot], &options.distance)) {
      return argument_error("distance"), nullptr;
    }
    if (slots[kMaxDistanceSlot] != Py_None &&
        !convert_double(slots[kMaxDistanceSlot], &options.max_distance_km)) {
      return argument_error("max_distance_km"), nullptr;
    }
    if (!convert_borders(slots, slots[kGeocoderSlot], *geocoder,
                         &options.borders)) {
      return nullptr;
    }
    const bool bordered = options.borders.regions != nullptr;
    Result<PlaceAppender> appender =
        PlaceAppender::create(*geocoder, std::move(options));
    if (!appender.ok()) {
      raise_core_error(appender.error());
      return nullptr;
    }
    auto state = std::make_unique<AppenderState>();
    state->geocoder = PyRef::borrow(slots[kGeocoderSlot]);
    if (bordered) state->regions = PyRef::borrow(slots[kRegionsSlot]);
    state->appender.emplace(std::move(appender).value());
    PyObject* capsule =
        PyCapsule_New(state.get(), kCapsuleName, destroy_appender);
    if (capsule != nullptr) (void)state.release();
    return capsule;
  });
}

// The lines (counted from the chunk's start) of the first few rows that are
// not kValid.
PyObject* fault_lines(const TableRows& rows, std::size_t* bad) {
  PyRef lines = PyRef::steal(PyList_New(0));
  if (!lines) return nullptr;
  *bad = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows.states[i] == PositionState::kValid) continue;
    if (++*bad > kReportedLines) continue;
    PyRef line = PyRef::steal(PyLong_FromSize_t(rows.line_offsets[i]));
    if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
  }
  return lines.release();
}

// The message for the first row that is not kValid, or None.
PyObject* first_fault(const TableRows& rows) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows.states[i] != PositionState::kValid) {
      return new_text(position_fault(rows, i));
    }
  }
  Py_RETURN_NONE;
}

PyObject* geocode_table_chunk(PyObject* /*module*/, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[6] = {};
    if (!bind_arguments(kChunkDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    auto* state = static_cast<AppenderState*>(
        PyCapsule_GetPointer(slots[0], kCapsuleName));
    if (state == nullptr) return nullptr;
    ByteView chunk;
    if (!chunk.acquire(slots[1])) return argument_error("chunk"), nullptr;
    std::size_t lat_column = 0;
    std::size_t lon_column = 0;
    bool final = false;
    std::size_t workers = 1;
    if (!convert_size(slots[2], "lat_column", &lat_column) ||
        !convert_size(slots[3], "lon_column", &lon_column)) {
      return nullptr;
    }
    if (!convert_bool(slots[4], &final))
      return argument_error("final"), nullptr;
    if (!convert_size(slots[5], "workers", &workers)) return nullptr;
    if (workers == 0) workers = available_cpus();
    if (state->busy.exchange(true)) {
      set_error(PyExc_RuntimeError, "the table appender is in use");
      return nullptr;
    }
    // The whole chunk is split, searched and written without the lock: the
    // chunk's buffer is held, and only the appender's own memory changes.
    state->output.clear();
    PyThreadState* thread = nullptr;
    StopCheck stop_check = signal_check_unlocked(&thread);
    Status written;
    try {
      written = run_unlocked(&thread, [&] {
        split_table_rows(chunk.bytes(), state->appender->sep(), lat_column,
                         lon_column, final, state->rows);
        return state->appender->append(
            chunk.bytes(), state->rows,
            static_cast<unsigned>(std::min<std::size_t>(
                workers, std::numeric_limits<unsigned>::max())),
            state->output, stop_check);
      });
    } catch (...) {
      state->busy.store(false);
      throw;
    }
    state->busy.store(false);
    if (!written.ok()) {
      // When the check stopped the search, its exception is the one pending.
      if (!is_interrupted(written.error())) raise_core_error(written.error());
      return nullptr;
    }
    const TableRows& rows = state->rows;
    std::size_t bad = 0;
    PyRef lines = PyRef::steal(fault_lines(rows, &bad));
    if (!lines) return nullptr;
    PyRef fault = PyRef::steal(first_fault(rows));
    if (!fault) return nullptr;
    PyRef output = PyRef::steal(PyBytes_FromStringAndSize(
        state->output.data(), static_cast<Py_ssize_t>(state->output.size())));
    if (!output) return nullptr;
    return Py_BuildValue("(nOnnnOO)", static_cast<Py_ssize_t>(rows.consumed),
                         output.get(), static_cast<Py_ssize_t>(rows.size()),
                         static_cast<Py_ssize_t>(rows.line_breaks),
                         static_cast<Py_ssize_t>(bad), lines.get(),
                         fault.get());
  });
}

PyObject* table_first_row(PyObject* /*module*/, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* slots[3] = {};
    if (!bind_arguments(kFirstRowDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    ByteView chunk;
    if (!chunk.acquire(slots[0])) return argument_error("chunk"), nullptr;
    std::uint8_t sep = ',';
    bool final = false;
    if (!convert_sep(slots[1], &sep)) return nullptr;
    if (!convert_bool(slots[2], &final))
      return argument_error("final"), nullptr;
    TableRows rows;
    const std::size_t none = std::numeric_limits<std::size_t>::max();
    split_table_rows(chunk.bytes(), sep, none, none, final, rows);
    if (rows.size() == 0) Py_RETURN_NONE;
    // The row ends where the next begins (or with the complete rows), so
    // empty lines after it stay for the next call to skip and count.
    const std::size_t consumed =
        rows.size() > 1 ? rows.begins[1] : rows.consumed;
    const std::size_t breaks =
        rows.size() > 1 ? rows.line_offsets[1] : rows.line_breaks;
    return Py_BuildValue("(nnnn)", static_cast<Py_ssize_t>(rows.begins[0]),
                         static_cast<Py_ssize_t>(rows.ends[0]),
                         static_cast<Py_ssize_t>(consumed),
                         static_cast<Py_ssize_t>(breaks));
  });
}

PyMethodDef functions[] = {
    {"_table_appender", reinterpret_cast<PyCFunction>(table_appender),
     METH_FASTCALL | METH_KEYWORDS,
     "_table_appender(geocoder, sep, fields, distance, max_distance_km, *, "
     "regions=None, region_fields=(), region_match=None, match_column=None, "
     "border_km=0.0)\n--\n\n"
     "A writer of rows followed by their nearest places' fields, for the "
     "command line; with regions, each row's region fields come first and "
     "its place is the nearest whose match_column equals the region's "
     "region_match field."},
    {"_geocode_table_chunk", reinterpret_cast<PyCFunction>(geocode_table_chunk),
     METH_FASTCALL | METH_KEYWORDS,
     "_geocode_table_chunk(appender, chunk, lat_column, lon_column, final, "
     "workers)\n--\n\n"
     "Geocodes the complete rows of a chunk of CSV bytes: (consumed, output, "
     "rows, line_breaks, bad_rows, first_bad_lines, first_fault)."},
    {"_table_first_row", reinterpret_cast<PyCFunction>(table_first_row),
     METH_FASTCALL | METH_KEYWORDS,
     "_table_first_row(chunk, sep, final)\n--\n\n"
     "Where the first row of a chunk of CSV bytes lies: (begin, end, "
     "consumed, line_breaks), or None while it is incomplete."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_cli_support(PyObject* module) {
  return PyModule_AddFunctions(module, functions) == 0;
}

}  // namespace quorvel::py

#include "python/csv_source.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "base/utf8.h"
#include "csv/csv.h"
#include "csv/lines.h"
#include "persist/file_descriptor.h"
#include "python/call_frame.h"
#include "python/errors.h"
#include "python/messages.h"
#include "python/ref.h"
#include "python/unlocked.h"

namespace quorvel::py {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The most bytes a CSV source may hold: the longest text a geocoder can
// save. A larger source, or an endless one such as /dev/zero, is refused
// once it has passed this size, before it takes all the memory there is.
constexpr std::uint64_t kMaxSourceBytes = 0xFFFFFFFFu;

// How reading a file ended, when not with its whole text.
enum ReadFailure : int {
  kReadOk = 0,
  kReadNoMemory = -1,
  kReadInterrupted = -2,
  kReadTooLarge = -3,
};

// Reads the whole file at `path` (encoded for the file system) into `out`.
// Gives kReadOk, the operating system's error number, or a ReadFailure.
// Runs without the interpreter lock and touches nothing of Python's; a
// signal (and every 64 KiB block read) gives `stop_check` its say.
int read_file(const std::string& path, std::string* out,
              StopCheck& stop_check) {
  try {
    persist::IoError error{persist::IoError::Kind::kOs};
    std::optional<persist::FileDescriptor> file =
        persist::FileDescriptor::open_for_load(path, error, stop_check);
    if (stop_check.stopped()) return kReadInterrupted;
    if (!file) return error.os_errno;
    // The size is only a hint: the file may grow or shrink while it is
    // read, and what counts is what read() hands over until it reports the
    // end.
    struct stat info;
    if (::fstat(file->get(), &info) == 0 && S_ISREG(info.st_mode)) {
      if (static_cast<std::uint64_t>(info.st_size) > kMaxSourceBytes) {
        return kReadTooLarge;
      }
      out->reserve(static_cast<std::size_t>(info.st_size) + 1);
    }
    constexpr std::size_t kChunk = 1 << 16;
    std::size_t used = 0;
    for (;;) {
      if (stop_check.due()) {
        out->clear();
        return kReadInterrupted;
      }
      // Grown only once full: a regular file then fits in the one buffer
      // reserved above, and the final read that reports the end has the
      // spare byte to look at, so the text is never moved.
      if (used == out->size()) {
        if (used > kMaxSourceBytes) {
          out->clear();
          out->shrink_to_fit();
          return kReadTooLarge;
        }
        out->resize(std::max(out->capacity(), used + kChunk));
      }
      const ssize_t got =
          ::read(file->get(), out->data() + used,
                 std::min(out->size() - used, kMaxSourceBytes + 1 - used));
      if (got < 0) {
        if (errno == EINTR) {
          // A FIFO without a writer waits here for ever: the signal is the
          // caller's chance to stop.
          if (stop_check.check_now()) {
            out->clear();
            return kReadInterrupted;
          }
          continue;
        }
        const int failure = errno;
        out->clear();
        return failure;
      }
      if (got == 0) break;
      used += static_cast<std::size_t>(got);
      if (used > kMaxSourceBytes) {
        out->clear();
        out->shrink_to_fit();
        return kReadTooLarge;
      }
    }
    out->resize(used);
    return kReadOk;
  } catch (const std::bad_alloc&) {
    out->clear();
    return kReadNoMemory;
  }
}

// Reads the file of a path argument, raising OSError as open() would.
bool read_path(PyObject* source, std::string* text) {
  std::string path;
  if (!convert_path(source, &path)) return argument_error("source");
  // Reading touches no Python object, so other threads may run meanwhile.
  PyThreadState* state = nullptr;
  StopCheck stop_check = signal_check_unlocked(&state);
  const int failure =
      run_unlocked(&state, [&] { return read_file(path, text, stop_check); });
  switch (failure) {
    case kReadOk:
      return true;
    case kReadNoMemory:
      PyErr_NoMemory();
      return false;
    case kReadInterrupted:
      // The signal handler's exception is pending.
      return false;
    case kReadTooLarge:
      raise_core_error(Error("cannot read the CSV source: it holds more than " +
                             std::to_string(kMaxSourceBytes) +
                             " bytes, the most text a geocoder can save"));
      return false;
    default:
      break;
  }
  PyRef name = PyRef::steal(PyOS_FSPath(source));
  if (!name) return false;
  errno = failure;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
  return false;
}

// Calls source.read() once and takes what it returns.
bool read_file_object(PyObject* source, std::string* text) {
  PyRef got = PyRef::steal(PyObject_CallMethod(source, "read", nullptr));
  if (!got) {
    // The reader's own exception goes to the caller as it is, unless it is
    // an internal failure passing back through Python code.
    PyErr_SetRaisedException(fetch_error().release());
    return false;
  }
  if (PyUnicode_Check(got.get())) return convert_text(got.get(), text);
  if (PyObject_CheckBuffer(got.get())) {
    ByteView bytes;
    if (!bytes.acquire(got.get())) return false;
    text->assign(bytes.bytes());
    return true;
  }
  set_error(PyExc_TypeError, "argument 'source': read() returned '" +
                                 type_qualname(got.get()) +
                                 "', expected str or a bytes-like object");
  return false;
}

// Raises UnicodeDecodeError for the bytes at `offset` in `data`, where the
// validation `v` stopped, with a note naming their line.
void raise_decode_error(std::string_view data, std::size_t offset,
                        const utf8::Validation& v) {
  const std::size_t start = offset + v.valid_up_to;
  std::size_t end = data.size();
  const char* reason = "unexpected end of data";
  if (v.error_len > 0) {
    const auto lead = static_cast<unsigned char>(data[start]);
    // A byte that can begin no sequence is reported alone; otherwise the
    // sequence that breaks off is. These are the two reasons the
    // interpreter's own decoder gives.
    const bool bad_start = utf8::is_continuation_byte(data[start]) ||
                           lead == 0xC0 || lead == 0xC1 || lead >= 0xF5;
    reason = bad_start ? "invalid start byte" : "invalid continuation byte";
    end = bad_start ? start + 1 : start + v.error_len;
  }
  PyRef error = PyRef::steal(PyUnicodeDecodeError_Create(
      "utf-8", data.data(), static_cast<Py_ssize_t>(data.size()),
      static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end), reason));
  if (!error) return;
  PyErr_SetObject(PyExc_UnicodeDecodeError, error.get());
  const std::size_t line = static_cast<std::size_t>(
      std::count(data.begin(), data.begin() + start, '\n'));
  add_note("in line " + std::to_string(line) + " (the header is line 0)");
}

// The header's fields, or nothing when the header cannot be read; the build
// then fails on it with the constructor's message.
std::optional<csv::Record> header_fields(std::string_view text,
                                         char32_t value_sep) {
  const std::optional<csv::AsciiSeparator> sep =
      csv::AsciiSeparator::from(value_sep);
  if (!sep || text.empty()) return std::nullopt;
  const std::string_view line = csv::first_line(text);
  // A header whose first record leaves text out is refused by the build,
  // which names it; its names are not to be matched meanwhile.
  csv::Record header;
  std::size_t dropped_at = std::string_view::npos;
  if (!csv::parse_csv_line_into(line, sep->byte(), header, &dropped_at).ok() ||
      dropped_at != std::string_view::npos) {
    return std::nullopt;
  }
  return header;
}

// The header's names as a Python list, for messages.
PyRef name_list(const csv::Record& header) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return list;
  for (std::size_t i = 0; i < header.size(); ++i) {
    const std::string_view field = header.field(i);
    PyRef name = PyRef::steal(PyUnicode_DecodeUTF8(
        field.data(), static_cast<Py_ssize_t>(field.size()), "replace"));
    if (!name || PyList_Append(list.get(), name.get()) < 0) return PyRef();
  }
  return list;
}

// Finds the column that `name` (the argument `parameter`) names.
bool find_column(const csv::Record& header, const char* parameter,
                 PyObject* name, std::size_t* column) {
  std::string wanted;
  if (!convert_text(name, &wanted)) return argument_error(parameter);
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (header.field(i) == wanted) found.push_back(i);
  }
  if (found.size() == 1) {
    *column = found[0];
    return true;
  }
  PyRef names = name_list(header);
  if (!names) return false;
  if (found.empty()) {
    PyErr_Format(PyExc_ValueError,
                 "%s=%R is not a column of the header, whose columns are %R",
                 parameter, name, names.get());
  } else {
    PyErr_Format(PyExc_ValueError,
                 "%s=%R names %zu columns of the header, which must name one: "
                 "%R",
                 parameter, name, found.size(), names.get());
  }
  return false;
}

bool is_given(PyObject* name) { return name != nullptr && name != Py_None; }

// The names that mark a coordinate column when the caller names none.
constexpr std::string_view kLatitudeNames[] = {"lat", "latitude"};
constexpr std::string_view kLongitudeNames[] = {"lon", "lng", "long",
                                                "longitude"};

bool same_ascii_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The one column of `header` named like one of `names` (case and spaces
// around it ignored), unless it is `taken`; nothing when none or several.
template <std::size_t N>
std::optional<std::size_t> column_named_like(
    const csv::Record& header, const std::string_view (&names)[N],
    std::optional<std::size_t> taken = std::nullopt) {
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < header.size(); ++i) {
    std::string_view field = header.field(i);
    while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
    while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
    for (std::string_view name : names) {
      if (same_ascii_name(field, name)) {
        if (found) return std::nullopt;
        found = i;
        break;
      }
    }
  }
  if (found == taken) return std::nullopt;
  return found;
}

}  // namespace

bool read_csv_text(PyObject* source, std::string* text) {
  // A path first, as the file functions of the standard library take it;
  // only then anything that reads.
  if (PyUnicode_Check(source) ||
      PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(source)),
                             "__fspath__")) {
    if (!read_path(source, text)) return false;
  } else if (PyObject_HasAttrString(source, "read")) {
    if (!read_file_object(source, text)) return false;
  } else {
    set_error(PyExc_TypeError,
              "argument 'source': expected a path (str or os.PathLike) or a "
              "file object, not '" +
                  type_qualname(source) + "'");
    return false;
  }
  // Spreadsheet programs start their UTF-8 exports with a byte order mark;
  // kept, it would end up in the first column's name.
  std::size_t offset = 0;
  if (std::string_view(*text).starts_with(kByteOrderMark)) {
    offset = kByteOrderMark.size();
  }
  const utf8::Validation v =
      utf8::validate(std::string_view(*text).substr(offset));
  if (!v.ok) {
    raise_decode_error(*text, offset, v);
    return false;
  }
  if (offset > 0) text->erase(0, offset);
  return true;
}

bool check_column_names(PyObject* lat, PyObject* lon) {
  if (is_given(lat) && !PyUnicode_Check(lat)) {
    conversion_type_error(lat, messages::kStringTarget);
    return argument_error("lat");
  }
  if (is_given(lon) && !PyUnicode_Check(lon)) {
    conversion_type_error(lon, messages::kStringTarget);
    return argument_error("lon");
  }
  return true;
}

bool resolve_coordinate_columns(std::string_view text, char32_t value_sep,
                                PyObject* lat, PyObject* lon,
                                BuildOptions* options) {
  std::optional<csv::Record> header = header_fields(text, value_sep);
  if (!header) return true;
  // With neither named, the coordinates are looked for by name: a places
  // file with a header "lon,lat,..." must not be read with its axes
  // swapped. Both must be found, or the first two columns stay. Naming one
  // keeps the other at its default, so that a mistyped name is reported.
  if (!is_given(lat) && !is_given(lon)) {
    const std::optional<std::size_t> lat_at =
        column_named_like(*header, kLatitudeNames);
    const std::optional<std::size_t> lon_at =
        column_named_like(*header, kLongitudeNames, lat_at);
    if (lat_at && lon_at) {
      options->lat_column = *lat_at;
      options->lon_column = *lon_at;
    }
    return true;
  }
  if (is_given(lat) &&
      !find_column(*header, "lat", lat, &options->lat_column)) {
    return false;
  }
  if (is_given(lon) &&
      !find_column(*header, "lon", lon, &options->lon_column)) {
    return false;
  }
  if (options->lat_column == options->lon_column) {
    PyRef names = name_list(*header);
    if (!names) return false;
    const std::string_view shared = header->field(options->lat_column);
    PyRef name = PyRef::steal(PyUnicode_DecodeUTF8(
        shared.data(), static_cast<Py_ssize_t>(shared.size()), "replace"));
    if (!name) return false;
    // Naming only one of the two can land on the other's default column.
    const char* hint = !is_given(lon)   ? "; lon defaults to the second column"
                       : !is_given(lat) ? "; lat defaults to the first column"
                                        : "";
    PyErr_Format(PyExc_ValueError, "lat and lon are the same column, %R%s",
                 name.get(), hint);
    return false;
  }
  return true;
}

}  // namespace quorvel::py

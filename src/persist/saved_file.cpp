#include "persist/saved_file.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <vector>

#include "base/utf8.h"
#include "persist/byte_sink.h"
#include "persist/byte_source.h"
#include "persist/file_descriptor.h"
#include "persist/io_error.h"
#include "persist/messages.h"
#include "persist/msgpack_reader.h"
#include "persist/msgpack_writer.h"

namespace quorvel::persist {
namespace {

using kdtree::ImmutableKdTree;
using kdtree::kBucketSize;
using kdtree::kDimensions;
using kdtree::LeafNode;

// Field names, which only the map form of a record uses.
constexpr std::string_view kGeocoderFields[] = {"csv", "value_sep", "columns",
                                                "indexed_data", "tree"};
constexpr std::string_view kSliceFields[] = {"offset", "len"};
constexpr std::string_view kTreeFields[] = {"leaves", "stems", "size"};
constexpr std::string_view kLeafFields[] = {"content_points", "content_items",
                                            "size"};

constexpr char kPointsWord[] = "an array of arrays, dimensions of 32x3";
constexpr char kItemsWord[] = "an array of length 32";

// What messages call the integer fields' types ("usize", "isize", "u32"):
// see persist/messages.h.
using messages::kIsizeWord;
using messages::kU32Word;
using messages::kUsizeWord;

constexpr std::uint64_t kUsizeMax = std::numeric_limits<std::size_t>::max();
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::int64_t kIsizeMin = std::numeric_limits<std::ptrdiff_t>::min();
constexpr std::int64_t kIsizeMax = std::numeric_limits<std::ptrdiff_t>::max();

// ---- Writing ----

Error too_long(const std::string& what, std::uint64_t n) {
  return Error("cannot save the geocoder: " + what + " is " +
               std::to_string(n) +
               " long, but this file format stores lengths and counts only "
               "below 2^32");
}

// Everything that would not fit a MessagePack header is refused before the
// first byte is written, so a failed save never leaves a wrong length behind.
Status check_writable(const ReverseGeocoder& g) {
  if (g.csv().size() > kMaxMsgpackLength)
    return too_long("csv", g.csv().size());
  if (g.columns().size() > kMaxMsgpackLength) {
    return too_long("columns", g.columns().size());
  }
  for (std::size_t i = 0; i < g.columns().size(); ++i) {
    if (g.columns()[i].size() > kMaxMsgpackLength) {
      return too_long("columns[" + std::to_string(i) + "]",
                      g.columns()[i].size());
    }
  }
  if (g.indexed_data().size() > kMaxMsgpackLength) {
    return too_long("indexed_data", g.indexed_data().size());
  }
  if (g.tree().leaves().size() > kMaxMsgpackLength) {
    return too_long("tree.leaves", g.tree().leaves().size());
  }
  if (g.tree().stems().size() > kMaxMsgpackLength) {
    return too_long("tree.stems", g.tree().stems().size());
  }
  if (!utf8::is_unicode_scalar(g.value_sep())) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X",
                  static_cast<unsigned>(g.value_sep()));
    return Error(std::string("cannot save the geocoder: value_sep ") + code +
                 " is not a Unicode scalar value");
  }
  return Status::Ok();
}

// ---- Sizes ----
//
// The byte counts of MsgpackWriter's encodings, smallest form first as it
// chooses them, so that the whole output can be sized before it is written.
// They sit right above the writing functions they mirror and must change
// with them; the saved-size tests compare the two at every width limit.
// Running the writer over a counting sink instead would tie them together
// by construction, but costs a second encoding pass, about a third more
// time on every dumps().

constexpr std::size_t kF64Size = 9;

std::size_t uint_size(std::uint64_t v) {
  if (v < 0x80) return 1;
  if (v <= 0xff) return 2;
  if (v <= 0xffff) return 3;
  if (v <= 0xffffffffu) return 5;
  return 9;
}

std::size_t int_size(std::int64_t v) {
  if (v >= 0) return uint_size(static_cast<std::uint64_t>(v));
  if (v >= -32) return 1;
  if (v >= -128) return 2;
  if (v >= -32768) return 3;
  if (v >= INT64_C(-2147483648)) return 5;
  return 9;
}

std::size_t str_size(std::size_t n) {
  if (n < 32) return 1 + n;
  if (n <= 0xff) return 2 + n;
  if (n <= 0xffff) return 3 + n;
  return 5 + n;
}

std::size_t array_header_size(std::uint64_t count) {
  if (count < 16) return 1;
  if (count <= 0xffff) return 3;
  return 5;
}

std::size_t leaf_size(const LeafNode& leaf) {
  std::size_t n = array_header_size(3) +
                  array_header_size(kDimensions * kBucketSize) +
                  kDimensions * kBucketSize * kF64Size +
                  array_header_size(kBucketSize) + uint_size(leaf.size);
  for (std::uint32_t item : leaf.content_items) n += uint_size(item);
  return n;
}

// The bytes write_geocoder() produces. REQUIRES: check_writable(g) passed.
std::size_t geocoder_size(const ReverseGeocoder& g) {
  std::string sep;
  utf8::append_char(g.value_sep(), sep);
  std::size_t n = array_header_size(5) + str_size(g.csv().size()) +
                  str_size(sep.size()) + array_header_size(g.columns().size());
  for (const std::string& name : g.columns()) n += str_size(name.size());
  n += array_header_size(g.indexed_data().size());
  for (const StringSlice& s : g.indexed_data()) {
    n += array_header_size(2) + int_size(s.offset) + uint_size(s.len);
  }
  const ImmutableKdTree& tree = g.tree();
  n += array_header_size(3) + array_header_size(tree.leaves().size());
  for (const LeafNode& leaf : tree.leaves()) n += leaf_size(leaf);
  n += array_header_size(tree.stems().size()) + tree.stems().size() * kF64Size +
       uint_size(tree.size());
  return n;
}

void write_leaf(MsgpackWriter& w, const LeafNode& leaf) {
  w.write_array_header(3);
  w.write_array_header(kDimensions * kBucketSize);
  for (const auto& row : leaf.content_points) {
    for (double v : row) w.write_f64(v);
  }
  w.write_array_header(kBucketSize);
  for (std::uint32_t item : leaf.content_items) w.write_uint(item);
  w.write_uint(leaf.size);
}

// REQUIRES: check_writable(g) passed.
void write_geocoder(MsgpackWriter& w, const ReverseGeocoder& g) {
  w.write_array_header(5);
  w.write_str(g.csv());
  std::string sep;
  utf8::append_char(g.value_sep(), sep);
  w.write_str(sep);
  w.write_array_header(g.columns().size());
  for (const std::string& name : g.columns()) w.write_str(name);
  w.write_array_header(g.indexed_data().size());
  for (const StringSlice& s : g.indexed_data()) {
    w.write_array_header(2);
    w.write_int(s.offset);
    w.write_uint(s.len);
  }
  const ImmutableKdTree& tree = g.tree();
  w.write_array_header(3);
  w.write_array_header(tree.leaves().size());
  for (const LeafNode& leaf : tree.leaves()) {
    // Nothing written after a failure reaches the file; stop encoding too.
    if (w.failed()) return;
    write_leaf(w, leaf);
  }
  w.write_array_header(tree.stems().size());
  for (double split : tree.stems()) w.write_f64(split);
  w.write_uint(tree.size());
}

// ---- Reading ----

bool read_slice(MsgpackReader& r, StringSlice& s) {
  return r.read_record(
      "struct StringSlice", kSliceFields,
      [&](std::size_t field) {
        if (field == 0) {
          std::int64_t offset;
          if (!r.read_int(kIsizeMin, kIsizeMax, kIsizeWord, offset)) {
            return false;
          }
          s.offset = static_cast<std::ptrdiff_t>(offset);
          return true;
        }
        std::uint64_t len;
        if (!r.read_uint(kUsizeMax, kUsizeWord, len)) return false;
        s.len = static_cast<std::size_t>(len);
        return true;
      },
      [&](std::size_t field, std::uint64_t v) {
        if (field == 0) {
          std::int64_t offset;
          if (!r.uint_as_int(v, kIsizeMax, kIsizeWord, offset)) return false;
          s.offset = static_cast<std::ptrdiff_t>(offset);
          return true;
        }
        std::uint64_t len;
        if (!r.uint_as_uint(v, kUsizeMax, kUsizeWord, len)) return false;
        s.len = static_cast<std::size_t>(len);
        return true;
      });
}

bool read_leaf(MsgpackReader& r, LeafNode& leaf) {
  auto point_at = [&leaf](std::size_t i) -> double& {
    return leaf.content_points[i / kBucketSize][i % kBucketSize];
  };
  auto read_points = [&] {
    return r.read_fixed(
        kDimensions * kBucketSize, kPointsWord,
        [&](std::size_t i) { return r.read_f64(point_at(i)); },
        [&](std::size_t i, std::uint64_t v) {
          point_at(i) = static_cast<double>(v);
          return true;
        });
  };
  auto read_items = [&] {
    return r.read_fixed(
        kBucketSize, kItemsWord,
        [&](std::size_t i) {
          std::uint64_t item;
          if (!r.read_uint(kU32Max, kU32Word, item)) return false;
          leaf.content_items[i] = static_cast<std::uint32_t>(item);
          return true;
        },
        [&](std::size_t i, std::uint64_t v) {
          leaf.content_items[i] = static_cast<std::uint32_t>(v);
          return true;
        });
  };
  return r.read_record(
      "struct LeafNode", kLeafFields,
      [&](std::size_t field) {
        if (field == 0) return read_points();
        if (field == 1) return read_items();
        std::uint64_t size;
        if (!r.read_uint(kUsizeMax, kUsizeWord, size)) return false;
        leaf.size = static_cast<std::size_t>(size);
        return true;
      },
      [&](std::size_t field, std::uint64_t v) {
        if (field == 0) return r.uint_rejected(v, kPointsWord);
        if (field == 1) return r.uint_rejected(v, kItemsWord);
        std::uint64_t size;
        if (!r.uint_as_uint(v, kUsizeMax, kUsizeWord, size)) return false;
        leaf.size = static_cast<std::size_t>(size);
        return true;
      });
}

// True every so many elements when `stop_check` says the work must stop: a
// clock read per element would cost more than reading a small one.
bool stop_due(StopCheck& stop_check, std::size_t& count) {
  return (++count & 1023) == 0 && stop_check.due();
}

bool read_tree(MsgpackReader& r, kdtree::TreeParts& tree,
               StopCheck& stop_check) {
  std::size_t count = 0;
  return r.read_record(
      "struct ImmutableKdTree", kTreeFields,
      [&](std::size_t field) {
        if (field == 0) {
          return r.read_seq(
              tree.leaves,
              [&](LeafNode& leaf) {
                return !stop_due(stop_check, count) && read_leaf(r, leaf);
              },
              [&](std::uint64_t v, LeafNode&) {
                return r.uint_rejected(v, "struct LeafNode");
              });
        }
        if (field == 1) {
          return r.read_seq(
              tree.stems, [&](double& split) { return r.read_f64(split); },
              [](std::uint64_t v, double& split) {
                split = static_cast<double>(v);
                return true;
              });
        }
        std::uint64_t size;
        if (!r.read_uint(kUsizeMax, kUsizeWord, size)) return false;
        tree.size = static_cast<std::size_t>(size);
        return true;
      },
      [&](std::size_t field, std::uint64_t v) {
        if (field < 2) return r.uint_rejected(v, "a sequence");
        std::uint64_t size;
        if (!r.uint_as_uint(v, kUsizeMax, kUsizeWord, size)) return false;
        tree.size = static_cast<std::size_t>(size);
        return true;
      });
}

// The geocoder's fields as the file holds them, before they are checked.
struct SavedParts {
  std::string csv;
  char32_t value_sep = U',';
  std::vector<std::string> columns;
  std::vector<StringSlice> indexed_data;
  kdtree::TreeParts tree;
};

bool read_geocoder(MsgpackReader& r, SavedParts& g, StopCheck& stop_check) {
  std::size_t count = 0;
  static constexpr const char* kFromUintWords[] = {"a string", "a character",
                                                   "a sequence", "a sequence",
                                                   "struct ImmutableKdTree"};
  return r.read_record(
      "struct ReverseGeocoder", kGeocoderFields,
      [&](std::size_t field) {
        switch (field) {
          case 0:
            return r.read_str(g.csv);
          case 1:
            return r.read_char(g.value_sep);
          case 2:
            return r.read_seq(
                g.columns, [&](std::string& name) { return r.read_str(name); },
                [&](std::uint64_t v, std::string&) {
                  return r.uint_rejected(v, "a string");
                });
          case 3:
            return r.read_seq(
                g.indexed_data,
                [&](StringSlice& s) {
                  return !stop_due(stop_check, count) && read_slice(r, s);
                },
                [&](std::uint64_t v, StringSlice&) {
                  return r.uint_rejected(v, "struct StringSlice");
                });
          default:
            return read_tree(r, g.tree, stop_check);
        }
      },
      [&](std::size_t field, std::uint64_t v) {
        return r.uint_rejected(v, kFromUintWords[field]);
      });
}

constexpr const char* kNotSaved =
    "the data is not a saved geocoder, or it is damaged";

Result<ReverseGeocoder> decode(ByteSource& source, StopCheck& stop_check) {
  MsgpackReader reader(source);
  SavedParts parts;
  // The messages describe the bytes as the decoder saw them; the note says
  // what that means to whoever picked the wrong file.
  const bool read = read_geocoder(reader, parts, stop_check);
  if (stop_check.stopped()) return interrupted();
  if (!read) {
    Error error = reader.take_error();
    if (!reader.failed_in_os()) error.with_note(kNotSaved);
    return error;
  }
  Result<ReverseGeocoder> geocoder = ReverseGeocoder::from_parts(
      std::move(parts.csv), parts.value_sep, std::move(parts.columns),
      std::move(parts.indexed_data), std::move(parts.tree), stop_check);
  if (!geocoder.ok()) {
    if (is_interrupted(geocoder.error())) return std::move(geocoder).error();
    Error error = std::move(geocoder).error();
    error.with_note(kNotSaved);
    return error;
  }
  return geocoder;
}

// Writes `geocoder` to `file` and closes it.
Status write_file(const ReverseGeocoder& geocoder, FileDescriptor& file,
                  StopCheck& stop_check) {
  FileSink sink(file.get(), stop_check);
  MsgpackWriter writer(sink);
  write_geocoder(writer, geocoder);
  Status written = writer.finish();
  std::optional<IoError> closed = file.close();
  if (stop_check.stopped()) return interrupted();
  if (!written.ok()) return written;
  // Network and quota-limited file systems may report a lost write only
  // here; it is the same failure as a write that failed outright.
  if (closed) return encode_error(*closed);
  return Status::Ok();
}

// A name for the temporary file of a save to `target`, in the same folder
// (a rename across file systems would not be atomic), hidden, and unlikely
// to be taken by anything else.
std::string temporary_name(const std::string& target, unsigned attempt) {
  static std::atomic<unsigned> serial{0};
  const std::size_t slash = target.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string base =
      slash == std::string::npos ? target : target.substr(slash + 1);
  return folder + "." + base + "." + std::to_string(::getpid()) + "-" +
         std::to_string(serial.fetch_add(1, std::memory_order_relaxed)) + "-" +
         std::to_string(attempt) + ".tmp";
}

// The file a save to `path` replaces: the path itself, or the file a
// symbolic link at `path` points to, so that the link keeps pointing at the
// saved geocoder. Empty when the path names something other than a regular
// file (a FIFO, a device), which can only be written in place.
std::optional<std::string> replaced_file(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return path;
  if (!S_ISREG(info.st_mode)) return std::nullopt;
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string resolved(real);
  std::free(real);
  return resolved;
}

}  // namespace

Status save(const ReverseGeocoder& geocoder, const std::string& path,
            StopCheck& stop_check) {
  if (Status s = check_writable(geocoder); !s.ok()) return s;
  // A regular file is written under a temporary name and then renamed over
  // the old one: whatever stops the save half way (a full disk, Ctrl-C, a
  // crash), the path holds either the old file or the whole new one.
  if (std::optional<std::string> target = replaced_file(path)) {
    for (unsigned attempt = 0; attempt < 8; ++attempt) {
      const std::string temporary = temporary_name(*target, attempt);
      IoError create_error{IoError::Kind::kOs};
      std::optional<FileDescriptor> file =
          FileDescriptor::create_new(temporary, create_error, stop_check);
      if (stop_check.stopped()) return interrupted();
      if (!file) {
        if (create_error.os_errno == EEXIST) continue;
        // A folder that takes no new files (while the file itself may be
        // writable) leaves only writing in place, as below.
        break;
      }
      Status written = write_file(geocoder, *file, stop_check);
      if (written.ok() && ::rename(temporary.c_str(), target->c_str()) != 0) {
        written = Error(IoError::os(errno).message());
      }
      if (!written.ok()) ::unlink(temporary.c_str());
      return written;
    }
  }
  IoError open_error{IoError::Kind::kOs};
  std::optional<FileDescriptor> file =
      FileDescriptor::open_for_save(path, open_error, stop_check);
  if (stop_check.stopped()) return interrupted();
  if (!file) return Error(open_error.message());
  return write_file(geocoder, *file, stop_check);
}

Result<ReverseGeocoder> load(const std::string& path, StopCheck& stop_check) {
  IoError open_error{IoError::Kind::kOs};
  std::optional<FileDescriptor> file =
      FileDescriptor::open_for_load(path, open_error, stop_check);
  if (stop_check.stopped()) return interrupted();
  if (!file) return Error(open_error.message());
  FileSource source(file->get(), stop_check);
  // The descriptor is closed on every path by its owner; a failing close
  // after reading loses nothing.
  return decode(source, stop_check);
}

Result<std::size_t> saved_size(const ReverseGeocoder& geocoder) {
  if (Status s = check_writable(geocoder); !s.ok()) return std::move(s).error();
  return geocoder_size(geocoder);
}

Result<std::string> dumps(const ReverseGeocoder& geocoder) {
  Result<std::size_t> size = saved_size(geocoder);
  if (!size.ok()) return std::move(size).error();
  // Sized once: a string grown by doubling would copy the whole output
  // about once more on the way and touch twice the memory.
  StringSink sink(size.value());
  MsgpackWriter writer(sink);
  write_geocoder(writer, geocoder);
  if (Status s = writer.finish(); !s.ok()) return std::move(s).error();
  return std::move(sink.bytes());
}

Status dumps_into(const ReverseGeocoder& geocoder, std::span<char> out) {
  if (Status s = check_writable(geocoder); !s.ok()) return s;
  SpanSink sink(reinterpret_cast<std::uint8_t*>(out.data()), out.size());
  MsgpackWriter writer(sink);
  write_geocoder(writer, geocoder);
  // Memory cannot fail to take bytes: a sink that overflowed, or bytes left
  // unwritten, mean the caller's size does not match the encoding.
  if (Status s = writer.finish(); !s.ok() || sink.written() != out.size()) {
    panic("dumps_into: the output region is not the saved size");
  }
  return Status::Ok();
}

Result<ReverseGeocoder> loads(std::string_view bytes, StopCheck& stop_check) {
  MemorySource source(bytes);
  return decode(source, stop_check);
}

}  // namespace quorvel::persist

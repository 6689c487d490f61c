#include "persist/regions_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "base/utf8.h"
#include "persist/file_descriptor.h"
#include "persist/io_error.h"

namespace quorvel::persist {
namespace {

using regions::CellItem;
using regions::Regions;
using regions::RegionsParts;

constexpr std::size_t kHeaderSize = 32;
constexpr const char* kNotSaved =
    "the data is not a saved regions index, or it is damaged";

template <typename T>
T to_little_endian(T value) {
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (sizeof(T) == 8) {
      return std::bit_cast<T>(
          __builtin_bswap64(std::bit_cast<std::uint64_t>(value)));
    } else {
      return std::bit_cast<T>(
          __builtin_bswap32(std::bit_cast<std::uint32_t>(value)));
    }
  }
  return value;
}

// Appends fixed-width values in little-endian order, each section padded to
// a multiple of 8 bytes so that the checksum reads whole words.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void u64(std::uint64_t v) { put(to_little_endian(v)); }

  template <typename T>
  void array(const std::vector<T>& values) {
    u64(values.size());
    if constexpr (std::endian::native == std::endian::little) {
      if (!values.empty()) {
        out_.append(reinterpret_cast<const char*>(values.data()),
                    values.size() * sizeof(T));
      }
    } else {
      for (const T& v : values) put(to_little_endian(v));
    }
    pad();
  }

  void items(const std::vector<CellItem>& items) {
    u64(items.size());
    for (const CellItem& item : items) {
      put(to_little_endian(item.region));
      put(to_little_endian(item.polygon));
      put(to_little_endian(item.edge_begin));
      put(to_little_endian(item.count_and_corner));
    }
  }

  void strings(const std::vector<std::string>& texts) {
    std::uint64_t total = 0;
    for (const std::string& t : texts) total += t.size();
    u64(texts.size());
    u64(total);
    for (const std::string& t : texts) {
      put(to_little_endian(static_cast<std::uint32_t>(t.size())));
    }
    pad();
    for (const std::string& t : texts) out_.append(t);
    pad();
  }

 private:
  template <typename T>
  void put(T v) {
    out_.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void pad() { out_.append((8 - out_.size() % 8) % 8, '\0'); }

  std::string& out_;
};

// Reads what Writer wrote, failing (with a message naming the section)
// rather than reading past the end or allocating more than the input holds.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  const std::optional<Error>& error() const { return error_; }
  bool at_end() const { return at_ == bytes_.size(); }

  bool u64(std::uint64_t& v, const char* what) {
    if (!need(8, what)) return false;
    std::memcpy(&v, bytes_.data() + at_, 8);
    v = to_little_endian(v);
    at_ += 8;
    return true;
  }

  template <typename T>
  bool array(std::vector<T>& out, const char* what) {
    std::uint64_t count;
    if (!u64(count, what)) return false;
    if (count > (bytes_.size() - at_) / sizeof(T)) return truncated(what);
    out.resize(count);
    // memcpy must not see the null data() of an empty vector.
    if (count != 0) {
      std::memcpy(out.data(), bytes_.data() + at_, count * sizeof(T));
    }
    if constexpr (std::endian::native == std::endian::big) {
      for (T& v : out) v = to_little_endian(v);
    }
    at_ += count * sizeof(T);
    return skip_pad(what);
  }

  bool items(std::vector<CellItem>& out, const char* what) {
    std::uint64_t count;
    if (!u64(count, what)) return false;
    if (count > (bytes_.size() - at_) / 16) return truncated(what);
    out.resize(count);
    for (CellItem& item : out) {
      std::uint32_t w[4];
      std::memcpy(w, bytes_.data() + at_, 16);
      at_ += 16;
      item = {to_little_endian(w[0]), to_little_endian(w[1]),
              to_little_endian(w[2]), to_little_endian(w[3])};
    }
    return true;
  }

  bool strings(std::vector<std::string>& out, const char* what) {
    std::uint64_t count, total;
    if (!u64(count, what) || !u64(total, what)) return false;
    if (count > (bytes_.size() - at_) / 4) return truncated(what);
    std::vector<std::uint32_t> lengths(count);
    if (count != 0) std::memcpy(lengths.data(), bytes_.data() + at_, 4 * count);
    at_ += 4 * count;
    if (!skip_pad(what)) return false;
    if (total > bytes_.size() - at_) return truncated(what);
    std::uint64_t sum = 0;
    for (std::uint32_t& n : lengths) sum += n = to_little_endian(n);
    if (sum != total) return fail(std::string(what) + ": lengths disagree");
    out.clear();
    out.reserve(count);
    for (std::uint32_t n : lengths) {
      std::string_view text = bytes_.substr(at_, n);
      if (!utf8::is_valid(text)) {
        return fail(std::string(what) + ": text is not UTF-8");
      }
      out.emplace_back(text);
      at_ += n;
    }
    return skip_pad(what);
  }

 private:
  bool need(std::size_t n, const char* what) {
    return n <= bytes_.size() - at_ || truncated(what);
  }
  // Padding must be zero, so that one index has one saved form.
  bool skip_pad(const char* what) {
    const std::size_t pad = (8 - at_ % 8) % 8;
    if (!need(pad, what)) return false;
    for (std::size_t k = 0; k < pad; ++k) {
      if (bytes_[at_ + k] != '\0') {
        return fail(std::string(what) + ": padding is not zero");
      }
    }
    at_ += pad;
    return true;
  }
  bool truncated(const char* what) {
    return fail(std::string(what) + ": the data ends early");
  }
  bool fail(std::string message) {
    error_.emplace(std::move(message));
    return false;
  }

  std::string_view bytes_;
  std::size_t at_ = 0;
  std::optional<Error> error_;
};

Error damaged(std::string message) {
  Error error("invalid saved regions: " + std::move(message));
  error.with_note(kNotSaved);
  return error;
}

void put_u32(std::string& out, std::size_t at, std::uint32_t v) {
  v = to_little_endian(v);
  std::memcpy(out.data() + at, &v, 4);
}

void put_u64(std::string& out, std::size_t at, std::uint64_t v) {
  v = to_little_endian(v);
  std::memcpy(out.data() + at, &v, 8);
}

}  // namespace

std::uint64_t regions_checksum(std::string_view payload) {
  std::uint64_t h = 0x6a09e667f3bcc908ull ^ payload.size();
  for (std::size_t at = 0; at + 8 <= payload.size(); at += 8) {
    std::uint64_t w;
    std::memcpy(&w, payload.data() + at, 8);
    h = (h ^ to_little_endian(w)) * 0x9e3779b97f4a7c15ull;
    h ^= h >> 31;
  }
  return h;
}

Result<std::string> dumps_regions(const Regions& regions) {
  const RegionsParts& parts = regions.parts();
  for (const std::string& text : parts.fields) {
    if (text.size() > 0xffffffffu) return Error("a record field is too long");
  }
  std::string out(kHeaderSize, '\0');
  Writer w(out);
  w.array(parts.coordinates);
  w.array(parts.ring_offsets);
  w.array(parts.polygon_offsets);
  w.array(parts.region_offsets);
  w.strings(parts.columns);
  w.strings(parts.fields);
  w.u64(parts.grid_rows);
  w.array(parts.cell_offsets);
  w.items(parts.items);
  w.array(parts.edge_refs);
  std::memcpy(out.data(), kRegionsMagic.data(), 8);
  put_u32(out, 8, kRegionsFileVersion);
  put_u32(out, 12, 0);
  put_u64(out, 16, out.size() - kHeaderSize);
  put_u64(out, 24, regions_checksum(std::string_view(out).substr(kHeaderSize)));
  return out;
}

Result<Regions> loads_regions(std::string_view bytes) {
  if (bytes.size() < kHeaderSize || bytes.substr(0, 8) != kRegionsMagic) {
    return damaged("no regions header");
  }
  std::uint32_t version, flags;
  std::uint64_t length, checksum;
  std::memcpy(&version, bytes.data() + 8, 4);
  std::memcpy(&flags, bytes.data() + 12, 4);
  std::memcpy(&length, bytes.data() + 16, 8);
  std::memcpy(&checksum, bytes.data() + 24, 8);
  version = to_little_endian(version);
  if (version != kRegionsFileVersion) {
    return damaged("layout version " + std::to_string(version) +
                   ", this build reads version " +
                   std::to_string(kRegionsFileVersion));
  }
  if (to_little_endian(flags) != 0) return damaged("unknown header flags");
  const std::string_view payload = bytes.substr(kHeaderSize);
  if (to_little_endian(length) != payload.size() || payload.size() % 8 != 0) {
    return damaged("the payload length does not match the data");
  }
  if (to_little_endian(checksum) != regions_checksum(payload)) {
    return damaged("checksum mismatch");
  }
  RegionsParts parts;
  std::uint64_t grid_rows = 0;
  Reader r(payload);
  const bool read = r.array(parts.coordinates, "coordinates") &&
                    r.array(parts.ring_offsets, "ring offsets") &&
                    r.array(parts.polygon_offsets, "polygon offsets") &&
                    r.array(parts.region_offsets, "region offsets") &&
                    r.strings(parts.columns, "columns") &&
                    r.strings(parts.fields, "fields") &&
                    r.u64(grid_rows, "grid rows") &&
                    r.array(parts.cell_offsets, "cell offsets") &&
                    r.items(parts.items, "cell items") &&
                    r.array(parts.edge_refs, "edge references");
  if (!read) return damaged(r.error()->message());
  if (!r.at_end()) return damaged("bytes follow the last section");
  if (grid_rows > regions::kMaxGridRows) return damaged("too many grid rows");
  parts.grid_rows = static_cast<std::uint32_t>(grid_rows);
  Result<Regions> regions = Regions::from_parts(std::move(parts));
  if (!regions.ok()) return damaged(regions.error().message());
  return regions;
}

Status save_regions(const Regions& regions, const std::string& path) {
  Result<std::string> bytes = dumps_regions(regions);
  if (!bytes.ok()) return std::move(bytes).error();
  IoError open_error{IoError::Kind::kOs};
  std::optional<FileDescriptor> file =
      FileDescriptor::open_for_save(path, open_error);
  if (!file) return Error(open_error.message());
  std::string_view left = bytes.value();
  while (!left.empty()) {
    const ssize_t n = ::write(file->get(), left.data(), left.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error(IoError::os(errno).message());
    }
    left.remove_prefix(static_cast<std::size_t>(n));
  }
  // A lost write may be reported only at close.
  if (std::optional<IoError> closed = file->close()) {
    return Error(closed->message());
  }
  return Status::Ok();
}

Result<Regions> load_regions(const std::string& path) {
  IoError open_error{IoError::Kind::kOs};
  std::optional<FileDescriptor> file =
      FileDescriptor::open_for_load(path, open_error);
  if (!file) return Error(open_error.message());
  // Read straight into a string sized once from the file's size (growing
  // only if the file grows meanwhile).
  struct stat status;
  std::size_t expected = 0;
  if (::fstat(file->get(), &status) == 0 && status.st_size > 0) {
    expected = static_cast<std::size_t>(status.st_size);
  }
  constexpr std::size_t kChunk = 1 << 20;
  std::string bytes;
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      // A byte beyond the expected size lets the next read see the end.
      const std::size_t more =
          filled <= expected ? expected + 1 - filled : kChunk;
      bytes.resize(filled + more);
    }
    const ssize_t n =
        ::read(file->get(), bytes.data() + filled, bytes.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error(IoError::os(errno).message());
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  bytes.resize(filled);
  return loads_regions(bytes);
}

}  // namespace quorvel::persist

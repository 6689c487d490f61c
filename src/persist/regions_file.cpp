#include "persist/regions_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/utf8.h"
#include "persist/file_descriptor.h"
#include "persist/io_error.h"

namespace quorvel::persist {
namespace {

using regions::CellItem;
using regions::Regions;
using regions::RegionsArrays;

constexpr std::size_t kHeaderSize = 32;
// How much a file that grows while it is read grows the storage by.
constexpr std::size_t kChunk = 1 << 20;
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
  void array(std::span<const T> values) {
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

  // u32 values as differences from the value before (the first from 0),
  // modulo 2^32. Both tables stored so rise in small steps (the edges of a
  // polygon in a cell are mostly consecutive vertices; most cells hold 0 to
  // 2 items), which compress to a fraction of the plain numbers in a zip
  // (the wheel).
  void differences(std::span<const std::uint32_t> values) {
    u64(values.size());
    std::uint32_t previous = 0;
    for (const std::uint32_t v : values) {
      put(to_little_endian(static_cast<std::uint32_t>(v - previous)));
      previous = v;
    }
    pad();
  }

  void items(std::span<const CellItem> items) {
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
// rather than reading past the end. Arrays are not copied: each is a view of
// the bytes where it lies, which the payload's alignment allows (the
// payload starts 8-aligned and every section is padded to 8). On a
// big-endian machine the numbers are put in order where they lie, which is
// why the bytes are mutable.
class Reader {
 public:
  Reader(char* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

  const std::optional<Error>& error() const { return error_; }
  bool at_end() const { return at_ == size_; }

  bool u64(std::uint64_t& v, const char* what) {
    if (!need(8, what)) return false;
    std::memcpy(&v, bytes_ + at_, 8);
    v = to_little_endian(v);
    at_ += 8;
    return true;
  }

  template <typename T>
  bool array(std::span<const T>& out, const char* what) {
    std::span<T> values;
    if (!take(values, what)) return false;
    out = values;
    return true;
  }

  // What Writer::differences wrote, summed back where it lies.
  bool differences(std::span<const std::uint32_t>& out, const char* what) {
    std::span<std::uint32_t> values;
    if (!take(values, what)) return false;
    std::uint32_t sum = 0;
    for (std::uint32_t& v : values) v = sum += v;
    out = values;
    return true;
  }

  bool items(std::span<const CellItem>& out, const char* what) {
    std::uint64_t count;
    if (!u64(count, what)) return false;
    if (count > (size_ - at_) / sizeof(CellItem)) return truncated(what);
    CellItem* items = reinterpret_cast<CellItem*>(bytes_ + at_);
    if constexpr (std::endian::native == std::endian::big) {
      for (std::size_t k = 0; k < count; ++k) {
        CellItem& item = items[k];
        item = {to_little_endian(item.region), to_little_endian(item.polygon),
                to_little_endian(item.edge_begin),
                to_little_endian(item.count_and_corner)};
      }
    }
    out = std::span<const CellItem>(items, count);
    at_ += count * sizeof(CellItem);
    return true;
  }

  bool strings(std::vector<std::string>& out, const char* what) {
    std::uint64_t count, total;
    if (!u64(count, what) || !u64(total, what)) return false;
    if (count > (size_ - at_) / 4) return truncated(what);
    const char* lengths = bytes_ + at_;
    at_ += 4 * count;
    if (!skip_pad(what)) return false;
    if (total > size_ - at_) return truncated(what);
    std::uint64_t sum = 0;
    for (std::size_t k = 0; k < count; ++k) sum += length(lengths, k);
    if (sum != total) return fail(std::string(what) + ": lengths disagree");
    out.clear();
    out.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
      const std::string_view text(bytes_ + at_, length(lengths, k));
      if (!utf8::is_valid(text)) {
        return fail(std::string(what) + ": text is not UTF-8");
      }
      out.emplace_back(text);
      at_ += text.size();
    }
    return skip_pad(what);
  }

 private:
  template <typename T>
  bool take(std::span<T>& out, const char* what) {
    std::uint64_t count;
    if (!u64(count, what)) return false;
    if (count > (size_ - at_) / sizeof(T)) return truncated(what);
    T* values = reinterpret_cast<T*>(bytes_ + at_);
    if constexpr (std::endian::native == std::endian::big) {
      for (std::size_t k = 0; k < count; ++k) {
        values[k] = to_little_endian(values[k]);
      }
    }
    out = std::span<T>(values, count);
    at_ += count * sizeof(T);
    return skip_pad(what);
  }
  static std::uint32_t length(const char* lengths, std::size_t k) {
    std::uint32_t n;
    std::memcpy(&n, lengths + 4 * k, 4);
    return to_little_endian(n);
  }
  bool need(std::size_t n, const char* what) {
    return n <= size_ - at_ || truncated(what);
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

  char* bytes_;
  std::size_t size_;
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

std::uint64_t regions_checksum(std::string_view payload,
                               std::uint32_t version) {
  constexpr std::uint64_t kMultiplier = 0x9e3779b97f4a7c15ull;
  auto word = [&](std::size_t at) {
    std::uint64_t w;
    std::memcpy(&w, payload.data() + at, 8);
    return to_little_endian(w);
  };
  auto mix = [](std::uint64_t h, std::uint64_t w) {
    h = (h ^ w) * kMultiplier;
    return h ^ (h >> 31);
  };
  const std::size_t words = payload.size() / 8;
  if (version == 1) {
    std::uint64_t h = 0x6a09e667f3bcc908ull ^ payload.size();
    for (std::size_t k = 0; k < words; ++k) h = mix(h, word(8 * k));
    return h;
  }
  // Four independent chains, word k feeding chain k % 4: each mix waits for
  // the multiplication before it, so one chain runs at a quarter of the
  // speed the processor can multiply.
  std::uint64_t lanes[4] = {0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull,
                            0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull};
  for (std::uint64_t& lane : lanes) lane ^= payload.size();
  std::size_t k = 0;
  for (; k + 4 <= words; k += 4) {
    lanes[0] = mix(lanes[0], word(8 * k));
    lanes[1] = mix(lanes[1], word(8 * k + 8));
    lanes[2] = mix(lanes[2], word(8 * k + 16));
    lanes[3] = mix(lanes[3], word(8 * k + 24));
  }
  for (; k < words; ++k) lanes[k % 4] = mix(lanes[k % 4], word(8 * k));
  std::uint64_t h = lanes[0];
  for (int lane = 1; lane < 4; ++lane) h = mix(h, lanes[lane]);
  return h;
}

Result<std::string> dumps_regions(const Regions& regions) {
  const RegionsArrays& arrays = regions.arrays();
  for (const std::string& text : regions.fields()) {
    if (text.size() > 0xffffffffu) return Error("a record field is too long");
  }
  std::string out(kHeaderSize, '\0');
  Writer w(out);
  w.array(arrays.coordinates);
  w.array(arrays.ring_offsets);
  w.array(arrays.polygon_offsets);
  w.array(arrays.region_offsets);
  w.strings(regions.columns());
  w.strings(regions.fields());
  w.u64(arrays.grid_rows);
  w.differences(arrays.cell_offsets);
  w.items(arrays.items);
  w.differences(arrays.edge_refs);
  std::memcpy(out.data(), kRegionsMagic.data(), 8);
  put_u32(out, 8, kRegionsFileVersion);
  put_u32(out, 12, 0);
  put_u64(out, 16, out.size() - kHeaderSize);
  put_u64(out, 24, regions_checksum(std::string_view(out).substr(kHeaderSize)));
  return out;
}

namespace {

// Checks and takes the saved form in `storage` (its first `size` bytes),
// which the Regions keeps: the arrays are used where they lie.
Result<Regions> take_regions(std::shared_ptr<std::byte[]> storage,
                             std::size_t size) {
  char* bytes = reinterpret_cast<char*>(storage.get());
  const std::string_view whole(bytes, size);
  if (size < kHeaderSize || whole.substr(0, 8) != kRegionsMagic) {
    return damaged("no regions header");
  }
  std::uint32_t version, flags;
  std::uint64_t length, checksum;
  std::memcpy(&version, bytes + 8, 4);
  std::memcpy(&flags, bytes + 12, 4);
  std::memcpy(&length, bytes + 16, 8);
  std::memcpy(&checksum, bytes + 24, 8);
  version = to_little_endian(version);
  // Version 1 differs only in its checksum and in storing the cell offsets
  // and edge references as they are.
  if (version != 1 && version != kRegionsFileVersion) {
    return damaged("layout version " + std::to_string(version) +
                   ", this build reads versions 1 to " +
                   std::to_string(kRegionsFileVersion));
  }
  if (to_little_endian(flags) != 0) return damaged("unknown header flags");
  const std::string_view payload = whole.substr(kHeaderSize);
  if (to_little_endian(length) != payload.size() || payload.size() % 8 != 0) {
    return damaged("the payload length does not match the data");
  }
  if (to_little_endian(checksum) != regions_checksum(payload, version)) {
    return damaged("checksum mismatch");
  }
  RegionsArrays arrays;
  std::vector<std::string> columns, fields;
  std::uint64_t grid_rows = 0;
  Reader r(bytes + kHeaderSize, payload.size());
  const bool read =
      r.array(arrays.coordinates, "coordinates") &&
      r.array(arrays.ring_offsets, "ring offsets") &&
      r.array(arrays.polygon_offsets, "polygon offsets") &&
      r.array(arrays.region_offsets, "region offsets") &&
      r.strings(columns, "columns") && r.strings(fields, "fields") &&
      r.u64(grid_rows, "grid rows") &&
      (version == 1 ? r.array(arrays.cell_offsets, "cell offsets")
                    : r.differences(arrays.cell_offsets, "cell offsets")) &&
      r.items(arrays.items, "cell items") &&
      (version == 1 ? r.array(arrays.edge_refs, "edge references")
                    : r.differences(arrays.edge_refs, "edge references"));
  if (!read) return damaged(r.error()->message());
  if (!r.at_end()) return damaged("bytes follow the last section");
  if (grid_rows > regions::kMaxGridRows) return damaged("too many grid rows");
  arrays.grid_rows = static_cast<std::uint32_t>(grid_rows);
  Result<Regions> regions = Regions::from_arrays(
      arrays, std::move(columns), std::move(fields), std::move(storage));
  if (!regions.ok()) return damaged(regions.error().message());
  return regions;
}

// Asks the system to map the pages of fresh memory before a read fills
// it: one call instead of a page fault per page, which at the first load of
// the world's countries (14 MB into memory the process never had) saves
// about a fifth of the read. Advice only; where it is not known, or
// refused, the read faults the pages in as usual.
void prefault(std::byte* data, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return;
  const auto page = static_cast<std::uintptr_t>(page_size);
  const std::uintptr_t begin =
      (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
  const std::uintptr_t end =
      (reinterpret_cast<std::uintptr_t>(data) + size) / page * page;
  if (end > begin) {
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
  }
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace

Result<Regions> loads_regions(std::string_view bytes) {
  // A copy the Regions can keep: the caller's bytes may change or go.
  // new std::byte[] leaves it uninitialized, and aligned for every number.
  std::shared_ptr<std::byte[]> storage(new std::byte[bytes.size()]);
  if (!bytes.empty()) std::memcpy(storage.get(), bytes.data(), bytes.size());
  return take_regions(std::move(storage), bytes.size());
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
  // Read straight into the storage the Regions will keep, sized once from
  // the file's size (grown only if the file grows meanwhile), and never
  // cleared first: every byte kept is one read.
  struct stat status;
  std::size_t capacity = 0;
  if (::fstat(file->get(), &status) == 0 && status.st_size > 0) {
    capacity = static_cast<std::size_t>(status.st_size);
  }
  // A byte beyond the expected size lets a read see the end.
  capacity += 1;
  std::shared_ptr<std::byte[]> storage(new std::byte[capacity]);
  prefault(storage.get(), capacity);
  std::size_t filled = 0;
  for (;;) {
    if (filled == capacity) {
      const std::size_t larger = capacity + std::max(capacity, kChunk);
      std::shared_ptr<std::byte[]> grown(new std::byte[larger]);
      std::memcpy(grown.get(), storage.get(), filled);
      storage = std::move(grown);
      capacity = larger;
    }
    const ssize_t n =
        ::read(file->get(), storage.get() + filled, capacity - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error(IoError::os(errno).message());
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  return take_regions(std::move(storage), filled);
}

}  // namespace quorvel::persist

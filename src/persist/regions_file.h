// The saved-regions file: every stored field of a Regions (polygons, records
// and the search grid) in a versioned little-endian layout of fixed-width
// arrays, described in docs/regions_file_format.md.
//
// Why not MessagePack, as the saved geocoder: the bulk of a regions file is
// some millions of coordinates, offsets and edge references. As raw arrays,
// 8-aligned, they are used where they lie in the bytes read, with no copy
// and no per-number marker, which keeps loading the world's countries
// within a few milliseconds, and the file a third smaller than with a
// marker byte per number.
//
// Loading reads the file once into memory the Regions then owns (never a
// mapping of the file: a file changed or cut short under a mapping would
// change the arrays after they were checked). It checks the header (magic,
// version, lengths), a checksum of the payload, every count against the
// bytes that remain (so a damaged length cannot reach beyond them), and
// then hands the arrays to Regions::from_arrays, which checks everything a
// lookup relies on. A damaged file is an error value with the note that the
// data is not a saved regions index or is damaged; it is never a crash.
//
// Thread safety: each call opens and closes its own file; a Regions being
// saved is only read.

#ifndef QUORVEL_PERSIST_REGIONS_FILE_H_
#define QUORVEL_PERSIST_REGIONS_FILE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "regions/regions.h"

namespace quorvel::persist {

// The first 8 bytes of every saved regions file.
inline constexpr std::string_view kRegionsMagic = "QRVLREGN";

// The layout version this code writes. It also reads version 1, which
// differs only in its checksum (one chain over the words instead of four)
// and in storing the cell offsets and edge references as they are, not as
// differences.
inline constexpr std::uint32_t kRegionsFileVersion = 2;

// The exact bytes of the saved form of `regions`.
Result<std::string> dumps_regions(const regions::Regions& regions);

// Reads a Regions from the bytes dumps_regions() gives. Bytes after the
// payload are an error.
Result<regions::Regions> loads_regions(std::string_view bytes);

// Writes the saved form to the file at `path` (created with mode 0666 before
// the umask, truncated if it exists). A failed write or close is an error.
Status save_regions(const regions::Regions& regions, const std::string& path);

// Reads a Regions from the file at `path`.
Result<regions::Regions> load_regions(const std::string& path);

// The checksum kept in the header of a file of layout `version`: of
// `payload`, 8 bytes at a time.
// REQUIRES: payload.size() is a multiple of 8.
std::uint64_t regions_checksum(std::string_view payload,
                               std::uint32_t version = kRegionsFileVersion);

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_REGIONS_FILE_H_

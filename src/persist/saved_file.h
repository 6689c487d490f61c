// The saved-geocoder file: one MessagePack value holding every field of a
// ReverseGeocoder (text, separator, columns, slices and the whole tree), with
// no header, version or padding.
//
// save() streams the encoding onto the file; load() decodes it and hands the
// parts to ReverseGeocoder::from_parts, which refuses parts that disagree
// (slices outside the text or cutting a character, items without a slice, an
// inconsistent tree layout). Errors are core errors with the codec's
// messages and causes.
//
// Thread safety: each call opens and closes its own file; a geocoder being
// saved is only read.

#ifndef QUORVEL_PERSIST_SAVED_FILE_H_
#define QUORVEL_PERSIST_SAVED_FILE_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/interrupt.h"
#include "geocoder/geocoder.h"

namespace quorvel::persist {

// Writes `geocoder` to the file at `path` (created with mode 0666 before the
// umask). A regular file, or a new one, is written whole under a temporary
// name in the same folder and then renamed over `path` (over the file a
// symbolic link there points to), so that a save that fails or is stopped
// leaves the old file, or none, and no partial one; where the folder takes
// no new file, the file is truncated and written in place. Anything else
// (a FIFO, a device) is written in place. A failed write, close or rename
// is an error; interrupted() when `stop_check` stopped it.
Status save(const ReverseGeocoder& geocoder, const std::string& path,
            StopCheck& stop_check = never_stop());

// Reads a geocoder from the file at `path`. Bytes after the value are
// ignored. interrupted() when `stop_check` stopped it.
Result<ReverseGeocoder> load(const std::string& path,
                             StopCheck& stop_check = never_stop());

// The exact bytes save() would write.
Result<std::string> dumps(const ReverseGeocoder& geocoder);

// The exact number of bytes dumps() gives for `geocoder`, so that a caller
// can provide the memory for dumps_into(). Fails as dumps() does for a
// geocoder that cannot be saved.
Result<std::size_t> saved_size(const ReverseGeocoder& geocoder);

// Writes the bytes of dumps() straight into `out`, with no intermediate
// copy.
// REQUIRES: out.size() is saved_size(geocoder).
Status dumps_into(const ReverseGeocoder& geocoder, std::span<char> out);

// Reads a geocoder from bytes as load() reads it from a file.
Result<ReverseGeocoder> loads(std::string_view bytes,
                              StopCheck& stop_check = never_stop());

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_SAVED_FILE_H_

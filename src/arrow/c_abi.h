// The Arrow C data and C stream interfaces: the three structs through which
// columns cross between libraries in one process, field for field as the
// published ABI lays them out, so that any consumer can read what we export
// and we can read what any producer hands us.
//
// Rules every producer and consumer here keeps:
//   - A struct whose `release` is null is released: it owns nothing and must
//     not be read. Releasing sets `release` to null.
//   - Whoever holds a struct calls its `release` exactly once. A parent's
//     release also releases each child (and its dictionary) that is not yet
//     released, so a consumer may move a child out (copy the struct, set the
//     original's `release` to null) and release it later, after the parent.
//   - Schemas and arrays obtained from a stream live independently of it.
//
// The guard macros are the ones the interface itself recommends, so these
// definitions coexist with another copy of the same ABI in one translation
// unit.
//
// Thread safety: plain data. A struct may be released from any thread, but
// by one thread only; the producer's callbacks here touch no shared state
// other than reference counts, which are atomic.

#ifndef QUORVEL_ARROW_C_ABI_H_
#define QUORVEL_ARROW_C_ABI_H_

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

// The type of a column (or of a whole table, as a struct with children).
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

// The values of a column (or of a record batch, as a struct array).
struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

// A pull-style source of arrays that all have one schema. The callbacks
// return 0 or an errno value; get_next marks the end of the stream by
// leaving `out` released.
struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

}  // extern "C"

#endif  // QUORVEL_ARROW_C_ABI_H_

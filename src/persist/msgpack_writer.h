// MsgpackWriter: encodes the kinds of value the saved file holds as
// MessagePack, always in the smallest encoding the format offers for the
// value (floats excepted: a double is always 0xcb and its 8 bytes).
//
// The writer appends to a ByteSink and has no failure path of its own: the
// sink keeps the first I/O failure, stops writing there, and finish()
// reports it as the encode error, so callers check once at the end (and may
// poll failed() to stop early).
//
// Lengths and counts must be below 2^32; the format has no way to carry
// more. Callers check before writing (see REQUIRES).
//
// Thread safety: none; one writer per sink.

#ifndef QUORVEL_PERSIST_MSGPACK_WRITER_H_
#define QUORVEL_PERSIST_MSGPACK_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/error.h"
#include "persist/byte_sink.h"

namespace quorvel::persist {

// The largest length or count a MessagePack header can carry.
inline constexpr std::uint64_t kMaxMsgpackLength = 0xffffffffu;

class MsgpackWriter {
 public:
  // REQUIRES: `sink` outlives the writer.
  explicit MsgpackWriter(ByteSink& sink) : sink_(sink) {}

  // 0..127 as one byte, then 0xcc, 0xcd, 0xce or 0xcf with 1, 2, 4 or 8
  // bytes, whichever is smallest.
  void write_uint(std::uint64_t value);

  // Negative values by the signed markers (0xe0..0xff, then 0xd0..0xd3);
  // non-negative values exactly as write_uint.
  void write_int(std::int64_t value);

  // 0xcb and the 8 bytes of the double, big-endian, bit for bit.
  void write_f64(double value);

  // A text string header for the byte length, then the bytes unchanged.
  // REQUIRES: text.size() <= kMaxMsgpackLength.
  void write_str(std::string_view text);

  // The array header for `count` elements (records and fixed arrays use it
  // as well as sequences).
  // REQUIRES: count <= kMaxMsgpackLength.
  void write_array_header(std::uint64_t count);

  // True once an I/O failure has stopped the output.
  bool failed() const { return sink_.failed(); }

  // Drains the sink. On an I/O failure returns the encode error: "invalid
  // value write: error while writing multi-byte MessagePack value", caused
  // by "error while writing multi-byte MessagePack value", caused by the I/O
  // error.
  Status finish();

 private:
  ByteSink& sink_;
};

// The encode error for an I/O failure, with its two causes.
Error encode_error(const IoError& io);

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_MSGPACK_WRITER_H_

#include "persist/msgpack_writer.h"

#include <bit>
#include <cstring>

#include "persist/messages.h"

namespace quorvel::persist {
namespace {

// Marker followed by `width` big-endian bytes of `value`, in one append.
inline void put_marked(ByteSink& sink, std::uint8_t marker, std::uint64_t value,
                       int width) {
  std::uint8_t bytes[9];
  bytes[0] = marker;
  for (int i = 0; i < width; ++i) {
    bytes[1 + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
  }
  sink.append_small(bytes, 1 + static_cast<std::size_t>(width));
}

inline void put_byte(ByteSink& sink, std::uint8_t byte) {
  sink.append_small(&byte, 1);
}

}  // namespace

Error encode_error(const IoError& io) {
  return Error(std::string(messages::kValueWrite) + messages::kValueWriteCause,
               {messages::kValueWriteCause, io.message()});
}

void MsgpackWriter::write_uint(std::uint64_t value) {
  if (value < 0x80) {
    put_byte(sink_, static_cast<std::uint8_t>(value));
  } else if (value <= 0xff) {
    put_marked(sink_, 0xcc, value, 1);
  } else if (value <= 0xffff) {
    put_marked(sink_, 0xcd, value, 2);
  } else if (value <= 0xffffffffu) {
    put_marked(sink_, 0xce, value, 4);
  } else {
    put_marked(sink_, 0xcf, value, 8);
  }
}

void MsgpackWriter::write_int(std::int64_t value) {
  if (value >= 0) {
    write_uint(static_cast<std::uint64_t>(value));
    return;
  }
  const auto bits = static_cast<std::uint64_t>(value);
  if (value >= -32) {
    put_byte(sink_, static_cast<std::uint8_t>(bits));
  } else if (value >= -128) {
    put_marked(sink_, 0xd0, bits, 1);
  } else if (value >= -32768) {
    put_marked(sink_, 0xd1, bits, 2);
  } else if (value >= INT64_C(-2147483648)) {
    put_marked(sink_, 0xd2, bits, 4);
  } else {
    put_marked(sink_, 0xd3, bits, 8);
  }
}

void MsgpackWriter::write_f64(double value) {
  put_marked(sink_, 0xcb, std::bit_cast<std::uint64_t>(value), 8);
}

void MsgpackWriter::write_str(std::string_view text) {
  const std::uint64_t n = text.size();
  if (n < 32) {
    put_byte(sink_, static_cast<std::uint8_t>(0xa0 | n));
  } else if (n <= 0xff) {
    put_marked(sink_, 0xd9, n, 1);
  } else if (n <= 0xffff) {
    put_marked(sink_, 0xda, n, 2);
  } else {
    put_marked(sink_, 0xdb, n, 4);
  }
  sink_.append(text.data(), text.size());
}

void MsgpackWriter::write_array_header(std::uint64_t count) {
  if (count < 16) {
    put_byte(sink_, static_cast<std::uint8_t>(0x90 | count));
  } else if (count <= 0xffff) {
    put_marked(sink_, 0xdc, count, 2);
  } else {
    put_marked(sink_, 0xdd, count, 4);
  }
}

Status MsgpackWriter::finish() {
  if (auto io = sink_.finish()) return encode_error(*io);
  return Status::Ok();
}

}  // namespace quorvel::persist

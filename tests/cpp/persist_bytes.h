// Helpers for persistence tests: hex byte strings and small encoders for
// crafting saved files by hand.
#ifndef QUORVEL_TESTS_PERSIST_BYTES_H_
#define QUORVEL_TESTS_PERSIST_BYTES_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "persist/byte_sink.h"
#include "persist/msgpack_writer.h"

namespace quorvel::persist::test_support {

// Bytes from a list of values: raw({0x95, 0xa1}).
inline std::string raw(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out += static_cast<char>(b);
  return out;
}

// Lower-case hex with a space between bytes, for readable failures.
inline std::string hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// Runs `f` on a writer over a string and returns the bytes written.
template <typename F>
std::string encode(F&& f) {
  StringSink sink;
  MsgpackWriter writer(sink);
  f(writer);
  (void)writer.finish();
  return std::move(sink.bytes());
}

inline std::string u(std::uint64_t v) {
  return encode([&](MsgpackWriter& w) { w.write_uint(v); });
}
inline std::string i(std::int64_t v) {
  return encode([&](MsgpackWriter& w) { w.write_int(v); });
}
inline std::string f64(double v) {
  return encode([&](MsgpackWriter& w) { w.write_f64(v); });
}
inline std::string str(std::string_view v) {
  return encode([&](MsgpackWriter& w) { w.write_str(v); });
}
inline std::string arr(std::uint64_t n) {
  return encode([&](MsgpackWriter& w) { w.write_array_header(n); });
}
// A map header of n < 16 pairs.
inline std::string fixmap(int n) { return std::string(1, static_cast<char>(0x80 | n)); }

}  // namespace quorvel::persist::test_support

#endif  // QUORVEL_TESTS_PERSIST_BYTES_H_

// Helpers for persistence tests: hex byte strings and small encoders for
// crafting saved files by hand.
#ifndef QUORVEL_TESTS_PERSIST_BYTES_H_
#define QUORVEL_TESTS_PERSIST_BYTES_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "geocoder_parts.h"
#include "persist/byte_sink.h"
#include "persist/msgpack_writer.h"

namespace quorvel::persist::test_support {

using quorvel::test_support::GeocoderParts;

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
// The saved form of `p`, written field by field as a saved file holds them,
// so that parts no geocoder could hold can still reach the loader.
inline std::string saved_bytes(const GeocoderParts& p) {
  return encode([&](MsgpackWriter& w) {
    w.write_array_header(5);
    w.write_str(p.csv);
    std::string sep;
    utf8::append_char(p.value_sep, sep);
    w.write_str(sep);
    w.write_array_header(p.columns.size());
    for (const std::string& name : p.columns) w.write_str(name);
    w.write_array_header(p.indexed_data.size());
    for (const StringSlice& s : p.indexed_data) {
      w.write_array_header(2);
      w.write_int(s.offset);
      w.write_uint(s.len);
    }
    w.write_array_header(3);
    w.write_array_header(p.tree.leaves.size());
    for (const kdtree::LeafNode& leaf : p.tree.leaves) {
      w.write_array_header(3);
      w.write_array_header(96);
      for (const auto& row : leaf.content_points) {
        for (double v : row) w.write_f64(v);
      }
      w.write_array_header(32);
      for (std::uint32_t item : leaf.content_items) w.write_uint(item);
      w.write_uint(leaf.size);
    }
    w.write_array_header(p.tree.stems.size());
    for (double split : p.tree.stems) w.write_f64(split);
    w.write_uint(p.tree.size);
  });
}

// A map header of n < 16 pairs.
inline std::string fixmap(int n) {
  return std::string(1, static_cast<char>(0x80 | n));
}

}  // namespace quorvel::persist::test_support

#endif  // QUORVEL_TESTS_PERSIST_BYTES_H_

// MsgpackReader: decodes MessagePack values of an expected kind, with the
// tolerance and the messages of the saved-geocoder format.
//
// Each read takes what its kind needs (an integer's range and the word that
// names it in messages, a sequence's element reader, a record's display name
// and field names) and either stores the value and returns true, or returns
// false with error() holding the decode error. The first failure ends the
// read: a reader that has failed must not be used again. Returning bool
// instead of Status keeps the per-element cost of the bulk arrays at a test
// and a branch.
//
// Accepted forms, beyond the exact kind: integers of any width within range;
// floats from F32 and from integers; text from UTF-8 byte strings; sequences,
// fixed arrays and records from byte strings (one unsigned integer per
// byte); records from maps keyed by field name or position. The value of an
// unknown key is decoded as a value of any kind and thrown away: its strings
// must still be UTF-8, Reserved still fails, and its containers still cost
// depth, exactly as if the value were kept. Every array, map or extension
// value entered costs one unit of a depth budget of 1024, so at most 1023
// can be open at once; skipping uses an explicit stack, never recursion, so
// deep nesting cannot exhaust the C++ stack.
//
// Memory: a declared length never drives an allocation by itself. Sequences
// reserve at most 1 MiB of elements up front; string payloads grow only with
// the bytes actually read.
//
// Thread safety: none; one reader per source.

#ifndef QUORVEL_PERSIST_MSGPACK_READER_H_
#define QUORVEL_PERSIST_MSGPACK_READER_H_

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "persist/byte_source.h"
#include "persist/io_error.h"
#include "persist/messages.h"

namespace quorvel::persist {

// What a marker byte announces.
enum class Family : std::uint8_t {
  kUint,  // FixPos, U8..U64.
  kInt,   // FixNeg, I8..I64 (whatever the value's sign).
  kNil,
  kBool,
  kF32,
  kF64,
  kStr,
  kBin,
  kArray,
  kMap,
  kExt,
  kReserved,
};

// The family of a marker byte.
Family family_of(std::uint8_t marker);

// The marker's name in messages: "FixStr(5)", "FixNeg(-3)", "U16", "Reserved".
std::string marker_name(std::uint8_t marker);

// A marker with its fixed payload decoded (a string's body is not read).
struct Head {
  std::uint8_t marker = 0;
  Family family = Family::kNil;
  // kUint: the value. kBool: 0 or 1. kStr, kBin, kExt: byte length.
  // kArray: element count. kMap: pair count.
  std::uint64_t number = 0;
  std::int64_t signed_number = 0;  // kInt: the value.
  double float_number = 0.0;       // kF32 (widened), kF64.
};

class MsgpackReader {
 public:
  static constexpr int kDepthBudget = 1024;
  // Up-front reservation limit of a sequence, in bytes of elements.
  static constexpr std::size_t kMaxReserveBytes = 1 << 20;

  // REQUIRES: `source` outlives the reader.
  explicit MsgpackReader(ByteSource& source);

  // The decode error after a read returned false.
  const Error& error() const { return *error_; }
  Error take_error() { return std::move(*error_); }

  // True when the read failed because the operating system could not
  // supply bytes, not because of what the bytes said.
  bool failed_in_os() const { return failed_in_os_; }

  // An unsigned integer in [0, max]; `word` names the type ("u32", "usize").
  [[nodiscard]] bool read_uint(std::uint64_t max, std::string_view word,
                               std::uint64_t& out) {
    std::uint64_t v;
    std::size_t n = peek_small_uint(v);
    if (n != 0 && v <= max) {
      out = v;
      source_.consume(n);
      return true;
    }
    return read_uint_slow(max, word, out);
  }

  // A signed integer in [min, max]; `word` names the type ("isize").
  // REQUIRES: min <= 0 <= max.
  [[nodiscard]] bool read_int(std::int64_t min, std::int64_t max,
                              std::string_view word, std::int64_t& out) {
    std::uint64_t v;
    std::size_t n = peek_small_uint(v);
    if (n != 0 && v <= static_cast<std::uint64_t>(max)) {
      out = static_cast<std::int64_t>(v);
      source_.consume(n);
      return true;
    }
    return read_int_slow(min, max, word, out);
  }

  // A 64-bit float, also from F32 and from integers.
  [[nodiscard]] bool read_f64(double& out) {
    // The bulk of a saved file is 0xcb plus 8 bytes: decode those in place.
    if (source_.available() >= 9 && source_.data()[0] == 0xcb) {
      std::uint64_t bits;
      std::memcpy(&bits, source_.data() + 1, 8);
      if constexpr (std::endian::native == std::endian::little) {
        bits = __builtin_bswap64(bits);
      }
      out = std::bit_cast<double>(bits);
      source_.consume(9);
      return true;
    }
    return read_f64_slow(out);
  }

  // A UTF-8 text string (also from a byte string holding valid UTF-8).
  [[nodiscard]] bool read_str(std::string& out);

  // A string of exactly one character.
  [[nodiscard]] bool read_char(char32_t& out);

  // Reads one value of any kind, by the same rules as a kept value (strings
  // are validated, byte strings and extension data are not), and throws it
  // away.
  [[nodiscard]] bool skip_any();

  // A sequence: `read_elem(T&)` reads one element from the input,
  // `elem_from_uint(uint64_t, T&)` takes one from a byte of a byte string.
  template <typename T, typename ReadElem, typename ElemFromUint>
  [[nodiscard]] bool read_seq(std::vector<T>& out, ReadElem&& read_elem,
                              ElemFromUint&& elem_from_uint);

  // Exactly `count` elements, from one flat array or a byte string;
  // `read_at(i)` and `from_uint_at(i, v)` store element i. `word` is what
  // messages call the kind ("an array of length 32").
  template <typename ReadAt, typename FromUintAt>
  [[nodiscard]] bool read_fixed(std::size_t count, std::string_view word,
                                ReadAt&& read_at, FromUintAt&& from_uint_at);

  // A record whose fields are named `names` in declaration order, as an
  // array, a map or a byte string. `read_field(i)` and `field_from_uint(i,
  // v)` store field i. `display` is the record's word ("struct LeafNode").
  // REQUIRES: 1 <= names.size() <= 15.
  template <typename ReadField, typename FieldFromUint>
  [[nodiscard]] bool read_record(std::string_view display,
                                 std::span<const std::string_view> names,
                                 ReadField&& read_field,
                                 FieldFromUint&& field_from_uint);

  // Element and field helpers for values that came from a byte string.
  [[nodiscard]] bool uint_as_uint(std::uint64_t v, std::uint64_t max,
                                  std::string_view word, std::uint64_t& out);
  [[nodiscard]] bool uint_as_int(std::uint64_t v, std::int64_t max,
                                 std::string_view word, std::int64_t& out);
  // Fails with "invalid type: integer `v`, expected <word>".
  [[nodiscard]] bool uint_rejected(std::uint64_t v, std::string_view word);

 private:
  // Offsets, lengths, items and sizes are almost always FixPos, U8, U16 or
  // U32 wholly inside the window: decodes such a value into `v` without
  // consuming it and returns its encoded size, or 0 for anything else (which
  // the slow paths then read with full checks and messages).
  std::size_t peek_small_uint(std::uint64_t& v) const {
    const std::uint8_t* p = source_.data();
    const std::size_t avail = source_.available();
    if (avail == 0) return 0;
    if (p[0] < 0x80) {
      v = p[0];
      return 1;
    }
    if (avail < 5) return 0;
    switch (p[0]) {
      case 0xcc:
        v = p[1];
        return 2;
      case 0xcd:
        v = (std::uint64_t{p[1]} << 8) | p[2];
        return 3;
      case 0xce:
        v = (std::uint64_t{p[1]} << 24) | (std::uint64_t{p[2]} << 16) |
            (std::uint64_t{p[3]} << 8) | p[4];
        return 5;
      default:
        return 0;
    }
  }

  [[nodiscard]] bool read_uint_slow(std::uint64_t max, std::string_view word,
                                    std::uint64_t& out);
  [[nodiscard]] bool read_int_slow(std::int64_t min, std::int64_t max,
                                   std::string_view word, std::int64_t& out);
  [[nodiscard]] bool read_f64_slow(double& out);

  // One marker byte, or the marker-read error.
  [[nodiscard]] bool read_marker(std::uint8_t& marker);
  // The fixed payload of `marker` into `head`, or the payload-read error.
  [[nodiscard]] bool read_rest(std::uint8_t marker, Head& head);
  [[nodiscard]] bool read_head(Head& head) {
    std::uint8_t marker;
    return read_marker(marker) && read_rest(marker, head);
  }
  // Exactly n bytes of a fixed payload into `dst`.
  [[nodiscard]] bool read_exact(std::uint8_t* dst, std::size_t n);
  // A string or byte-string body of n bytes into `dst` (replacing it).
  [[nodiscard]] bool read_body(std::uint64_t n, std::string& dst);
  // Consumes a body of n bytes without keeping it.
  [[nodiscard]] bool skip_body(std::uint64_t n);
  // Takes n payload bytes, appending them to *dst when dst is not null.
  [[nodiscard]] bool consume_body(std::uint64_t n, std::string* dst);

  // Entering an array, map or extension value: fails when the budget is
  // spent. leave() gives the unit back.
  [[nodiscard]] bool enter() {
    if (--depth_budget_ == 0) return fail(messages::kDepthLimit);
    return true;
  }
  void leave() { ++depth_budget_; }

  // The rejection of a value whose head does not fit the expected kind
  // (`word`): the body of a string is read and checked first, containers
  // are entered first; then "invalid type", or "wrong msgpack marker
  // Reserved".
  [[nodiscard]] bool fail_unexpected(const Head& head, std::string_view word);
  [[nodiscard]] bool fail_invalid_length(std::uint64_t got,
                                         std::string_view expected);
  [[nodiscard]] bool fail_surplus(std::uint64_t expected);
  // An input that could not supply the bytes asked for: "IO error while
  // reading <what>: " and the I/O error, which is also the cause. `at_end`
  // names the I/O error when the input simply ended.
  [[nodiscard]] bool fail_fill(const FillOutcome& got, IoError::Kind at_end,
                               std::string_view what);
  [[nodiscard]] bool fail_wrong_marker(std::uint8_t marker);
  // The body of a string marker must be UTF-8 wherever it is met, even in a
  // value that is thrown away; otherwise the invalid-UTF-8 error, with the
  // UTF-8 error as its cause.
  [[nodiscard]] bool check_text(std::string_view bytes);
  [[nodiscard]] bool fail(std::string message);
  [[nodiscard]] bool fail(Error error);

  // The record key at the input: the field's index, or names.size() for an
  // unrecognised key.
  [[nodiscard]] bool read_field_key(std::span<const std::string_view> names,
                                    std::size_t& index);

  ByteSource& source_;
  std::string scratch_;  // Body of the string being examined; reused.
  int depth_budget_ = kDepthBudget;
  std::optional<Error> error_;
  bool failed_in_os_ = false;
};

template <typename T, typename ReadElem, typename ElemFromUint>
bool MsgpackReader::read_seq(std::vector<T>& out, ReadElem&& read_elem,
                             ElemFromUint&& elem_from_uint) {
  Head head;
  if (!read_head(head)) return false;
  constexpr std::size_t kMaxReserve = kMaxReserveBytes / sizeof(T);
  out.clear();
  if (head.family == Family::kArray) {
    if (!enter()) return false;
    out.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(head.number, kMaxReserve)));
    for (std::uint64_t i = 0; i < head.number; ++i) {
      out.emplace_back();
      if (!read_elem(out.back())) return false;
    }
    leave();
    return true;
  }
  if (head.family == Family::kBin) {
    std::string bytes;
    if (!read_body(head.number, bytes)) return false;
    out.reserve(std::min(bytes.size(), kMaxReserve));
    for (unsigned char b : bytes) {
      out.emplace_back();
      if (!elem_from_uint(std::uint64_t{b}, out.back())) return false;
    }
    return true;
  }
  return fail_unexpected(head, "a sequence");
}

template <typename ReadAt, typename FromUintAt>
bool MsgpackReader::read_fixed(std::size_t count, std::string_view word,
                               ReadAt&& read_at, FromUintAt&& from_uint_at) {
  Head head;
  if (!read_head(head)) return false;
  if (head.family == Family::kArray) {
    if (!enter()) return false;
    std::size_t present =
        static_cast<std::size_t>(std::min<std::uint64_t>(head.number, count));
    for (std::size_t i = 0; i < present; ++i) {
      if (!read_at(i)) return false;
    }
    if (head.number < count) return fail_invalid_length(head.number, word);
    if (head.number > count) return fail_surplus(count);
    leave();
    return true;
  }
  if (head.family == Family::kBin) {
    std::string bytes;
    if (!read_body(head.number, bytes)) return false;
    std::size_t present = std::min(bytes.size(), count);
    for (std::size_t i = 0; i < present; ++i) {
      if (!from_uint_at(i, std::uint64_t{static_cast<unsigned char>(bytes[i])}))
        return false;
    }
    if (bytes.size() < count) return fail_invalid_length(bytes.size(), word);
    return true;
  }
  return fail_unexpected(head, word);
}

template <typename ReadField, typename FieldFromUint>
bool MsgpackReader::read_record(std::string_view display,
                                std::span<const std::string_view> names,
                                ReadField&& read_field,
                                FieldFromUint&& field_from_uint) {
  const std::size_t k = names.size();
  // Saved files always hold records as fix-arrays of exactly k fields; take
  // that marker straight from the window.
  Head head;
  if (source_.available() >= 1 && source_.data()[0] == (0x90 | k)) {
    source_.consume(1);
    head.family = Family::kArray;
    head.number = k;
  } else if (!read_head(head)) {
    return false;
  }
  auto expected = [&] {
    return std::string(display) + " with " + std::to_string(k) + " elements";
  };
  if (head.family == Family::kArray) {
    if (!enter()) return false;
    std::size_t present =
        static_cast<std::size_t>(std::min<std::uint64_t>(head.number, k));
    for (std::size_t i = 0; i < present; ++i) {
      if (!read_field(i)) return false;
    }
    if (head.number < k) return fail_invalid_length(head.number, expected());
    if (head.number > k) return fail_surplus(k);
    leave();
    return true;
  }
  if (head.family == Family::kMap) {
    if (!enter()) return false;
    std::uint32_t seen = 0;
    for (std::uint64_t pair = 0; pair < head.number; ++pair) {
      std::size_t index;
      if (!read_field_key(names, index)) return false;
      if (index == k) {
        if (!skip_any()) return false;
        continue;
      }
      if (seen & (1u << index)) {
        return fail("duplicate field `" + std::string(names[index]) + "`");
      }
      seen |= 1u << index;
      if (!read_field(index)) return false;
    }
    for (std::size_t i = 0; i < k; ++i) {
      if (!(seen & (1u << i))) {
        return fail("missing field `" + std::string(names[i]) + "`");
      }
    }
    leave();
    return true;
  }
  if (head.family == Family::kBin) {
    std::string bytes;
    if (!read_body(head.number, bytes)) return false;
    std::size_t present = std::min(bytes.size(), k);
    for (std::size_t i = 0; i < present; ++i) {
      if (!field_from_uint(i,
                           std::uint64_t{static_cast<unsigned char>(bytes[i])}))
        return false;
    }
    if (bytes.size() < k) return fail_invalid_length(bytes.size(), expected());
    return true;
  }
  return fail_unexpected(head, display);
}

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_MSGPACK_READER_H_

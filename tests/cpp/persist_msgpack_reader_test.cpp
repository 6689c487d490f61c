// Acceptance rules and messages of the reader, kind by kind.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "persist/byte_source.h"
#include "persist/msgpack_reader.h"
#include "persist_bytes.h"

namespace quorvel::persist {
namespace {

using test_support::arr;
using test_support::f64;
using test_support::i;
using test_support::raw;
using test_support::str;
using test_support::u;

constexpr std::uint64_t kU32Max = 0xffffffffu;
constexpr std::uint64_t kUsizeMax = UINT64_MAX;

// The value of a read, or its error report.
template <typename T, typename Read>
std::string run(const std::string& bytes, Read read,
                std::string (*show)(const T&)) {
  MemorySource source(bytes);
  MsgpackReader reader(source);
  T value{};
  if (!read(reader, value)) return "error: " + reader.error().report();
  return show(value);
}

std::string show_u64(const std::uint64_t& v) { return std::to_string(v); }
std::string show_i64(const std::int64_t& v) { return std::to_string(v); }
std::string show_f64(const double& v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}
std::string show_str(const std::string& v) { return "\"" + v + "\""; }
std::string show_char(const char32_t& v) {
  return "U+" + std::to_string(static_cast<std::uint32_t>(v));
}

std::string usize(const std::string& bytes) {
  return run<std::uint64_t>(
      bytes,
      [](MsgpackReader& r, std::uint64_t& v) {
        return r.read_uint(kUsizeMax, "usize", v);
      },
      show_u64);
}
std::string u32(const std::string& bytes) {
  return run<std::uint64_t>(
      bytes,
      [](MsgpackReader& r, std::uint64_t& v) {
        return r.read_uint(kU32Max, "u32", v);
      },
      show_u64);
}
std::string isize(const std::string& bytes) {
  return run<std::int64_t>(
      bytes,
      [](MsgpackReader& r, std::int64_t& v) {
        return r.read_int(INT64_MIN, INT64_MAX, "isize", v);
      },
      show_i64);
}
std::string real(const std::string& bytes) {
  return run<double>(
      bytes, [](MsgpackReader& r, double& v) { return r.read_f64(v); },
      show_f64);
}
std::string text(const std::string& bytes) {
  return run<std::string>(
      bytes, [](MsgpackReader& r, std::string& v) { return r.read_str(v); },
      show_str);
}
std::string character(const std::string& bytes) {
  return run<char32_t>(
      bytes, [](MsgpackReader& r, char32_t& v) { return r.read_char(v); },
      show_char);
}

TEST(MsgpackReaderIntegers, AnyWidthWithinRange) {
  EXPECT_EQ(usize(raw({0xcd, 0x00, 0x05})), "5");
  EXPECT_EQ(usize(raw({0xcf, 0, 0, 0, 0, 0, 0, 0, 7})), "7");
  EXPECT_EQ(usize(raw({0xd0, 0x05})), "5");  // Signed marker, value in range.
  EXPECT_EQ(usize(u(UINT64_MAX)), "18446744073709551615");
  EXPECT_EQ(u32(u(kU32Max)), "4294967295");
  EXPECT_EQ(isize(i(-129)), "-129");
  EXPECT_EQ(isize(i(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(isize(u(300)), "300");
}

TEST(MsgpackReaderIntegers, OutOfRangeWrongTypeAndWrongMarker) {
  EXPECT_EQ(usize(raw({0xff})),
            "error: invalid value: integer `-1`, expected usize");
  EXPECT_EQ(u32(u(4294967296u)),
            "error: invalid value: integer `4294967296`, expected u32");
  EXPECT_EQ(isize(u(UINT64_MAX)),
            "error: invalid value: integer `18446744073709551615`, expected "
            "isize");
  EXPECT_EQ(usize(raw({0xc0})),
            "error: invalid type: unit value, expected usize");
  EXPECT_EQ(usize(raw({0xc3})),
            "error: invalid type: boolean `true`, expected usize");
  EXPECT_EQ(u32(raw({0xc2})),
            "error: invalid type: boolean `false`, expected u32");
  EXPECT_EQ(usize(f64(2.0)),
            "error: invalid type: floating point `2.0`, expected usize");
  EXPECT_EQ(usize(raw({0xca, 0x3f, 0xc0, 0, 0})),
            "error: invalid type: floating point `1.5`, expected usize");
  EXPECT_EQ(usize(str("abcde")), "error: wrong msgpack marker FixStr(5)");
  // A cut-off string is never read where a number is expected.
  EXPECT_EQ(usize(raw({0xd9})), "error: wrong msgpack marker Str8");
  EXPECT_EQ(usize(raw({0x93})), "error: wrong msgpack marker FixArray(3)");
  EXPECT_EQ(usize(raw({0x82})), "error: wrong msgpack marker FixMap(2)");
  EXPECT_EQ(usize(raw({0xc1})), "error: wrong msgpack marker Reserved");
  EXPECT_EQ(usize(raw({0xc4, 0})), "error: wrong msgpack marker Bin8");
  EXPECT_EQ(usize(raw({0xd4, 1, 2})), "error: wrong msgpack marker FixExt1");
  EXPECT_EQ(usize(raw({0xdd})), "error: wrong msgpack marker Array32");
}

TEST(MsgpackReaderFloats, AcceptsF64F32AndIntegers) {
  EXPECT_EQ(real(f64(0.1)), "0.10000000000000001");
  EXPECT_EQ(real(raw({0x05})), "5");
  EXPECT_EQ(real(raw({0xca, 0x3f, 0xc0, 0x00, 0x00})), "1.5");
  EXPECT_EQ(real(i(-40000)), "-40000");
  EXPECT_EQ(real(u(UINT64_MAX)), "1.8446744073709552e+19");
  EXPECT_EQ(real(raw({0xc0})), "error: invalid type: unit value, expected f64");
  EXPECT_EQ(real(raw({0xa0})), "error: wrong msgpack marker FixStr(0)");
  EXPECT_EQ(real(raw({0xe0 + 29})), "-3");
  EXPECT_EQ(real(raw({0xc1})), "error: wrong msgpack marker Reserved");
}

TEST(MsgpackReaderStrings, TextFromStringOrUtf8ByteString) {
  EXPECT_EQ(text(str("h\xc3\xa9")), "\"h\xc3\xa9\"");
  EXPECT_EQ(text(raw({0xc4, 2, 'o', 'k'})), "\"ok\"");
  EXPECT_EQ(text(raw({0xc4, 1, 0xff})),
            "error: invalid value: byte array, expected a string");
  EXPECT_EQ(text(raw({0xa3, 'a', 0xe2, 0x82})),
            "error: string found to be invalid utf8: incomplete utf-8 byte "
            "sequence from index 1\n\nCaused by:\n    incomplete utf-8 byte "
            "sequence from index 1");
  EXPECT_EQ(text(u(5)), "error: invalid type: integer `5`, expected a string");
  EXPECT_EQ(text(raw({0xfd})),
            "error: invalid type: integer `-3`, expected a string");
  EXPECT_EQ(text(raw({0xc2})),
            "error: invalid type: boolean `false`, expected a string");
  EXPECT_EQ(text(f64(-1.0 / 0.0)),
            "error: invalid type: floating point `-inf`, expected a string");
  EXPECT_EQ(text(arr(0)), "error: invalid type: sequence, expected a string");
  EXPECT_EQ(text(raw({0x80})), "error: invalid type: map, expected a string");
  EXPECT_EQ(text(raw({0xd4, 1, 2})),
            "error: invalid type: newtype struct, expected a string");
  EXPECT_EQ(text(raw({0xc1})), "error: wrong msgpack marker Reserved");
}

TEST(MsgpackReaderStrings, CharacterIsExactlyOneScalar) {
  EXPECT_EQ(character(str(",")), "U+44");
  EXPECT_EQ(character(str("\xc3\xa9")), "U+233");
  EXPECT_EQ(character(str("\xf0\x9f\x8c\x8d")), "U+127757");
  EXPECT_EQ(character(str("ab")),
            "error: invalid value: string \"ab\", expected a character");
  EXPECT_EQ(character(str("")),
            "error: invalid value: string \"\", expected a character");
  EXPECT_EQ(character(str("\"\n")),
            "error: invalid value: string \"\\\"\\n\", expected a character");
  EXPECT_EQ(character(raw({0xc4, 1, ','})),
            "error: invalid type: byte array, expected a character");
  EXPECT_EQ(character(u(44)),
            "error: invalid type: integer `44`, expected a character");
  EXPECT_EQ(character(raw({0xa1, 0xff})),
            "error: string found to be invalid utf8: invalid utf-8 sequence of "
            "1 bytes from index 0\n\nCaused by:\n    invalid utf-8 sequence of "
            "1 bytes from index 0");
}

TEST(MsgpackReaderIo, EndOfInputMessages) {
  EXPECT_EQ(usize(""),
            "error: IO error while reading marker: failed to fill whole "
            "buffer\n\nCaused by:\n    failed to fill whole buffer");
  EXPECT_EQ(real(raw({0xcb, 0x3f, 0xf0})),
            "error: IO error while reading data: failed to fill whole "
            "buffer\n\nCaused by:\n    failed to fill whole buffer");
  EXPECT_EQ(text(raw({0xa5, 'a', 'b'})),
            "error: IO error while reading data: unexpected end of "
            "file\n\nCaused by:\n    unexpected end of file");
  EXPECT_EQ(text(raw({0xda, 0x01})),
            "error: IO error while reading data: failed to fill whole "
            "buffer\n\nCaused by:\n    failed to fill whole buffer");
  // A huge declared length reserves nothing beyond the bytes present.
  EXPECT_EQ(text(raw({0xdb, 0xff, 0xff, 0xff, 0xff, 'x'})),
            "error: IO error while reading data: unexpected end of "
            "file\n\nCaused by:\n    unexpected end of file");
}

TEST(MsgpackReaderIo, MarkerNames) {
  EXPECT_EQ(marker_name(0x05), "FixPos(5)");
  EXPECT_EQ(marker_name(0xfd), "FixNeg(-3)");
  EXPECT_EQ(marker_name(0xe0), "FixNeg(-32)");
  EXPECT_EQ(marker_name(0xa5), "FixStr(5)");
  EXPECT_EQ(marker_name(0x8f), "FixMap(15)");
  EXPECT_EQ(marker_name(0x90), "FixArray(0)");
  const char* names[] = {
      "Null",    "Reserved", "False",   "True",     "Bin8", "Bin16", "Bin32",
      "Ext8",    "Ext16",    "Ext32",   "F32",      "F64",  "U8",    "U16",
      "U32",     "U64",      "I8",      "I16",      "I32",  "I64",   "FixExt1",
      "FixExt2", "FixExt4",  "FixExt8", "FixExt16", "Str8", "Str16", "Str32",
      "Array16", "Array32",  "Map16",   "Map32"};
  for (int m = 0xc0; m <= 0xdf; ++m) EXPECT_EQ(marker_name(m), names[m - 0xc0]);
}

// A sequence of u32 with the reader's element rules.
std::string u32_seq(const std::string& bytes) {
  MemorySource source(bytes);
  MsgpackReader r(source);
  std::vector<std::uint32_t> out;
  bool ok = r.read_seq(
      out,
      [&](std::uint32_t& v) {
        std::uint64_t x;
        if (!r.read_uint(kU32Max, "u32", x)) return false;
        v = static_cast<std::uint32_t>(x);
        return true;
      },
      [&](std::uint64_t x, std::uint32_t& v) {
        v = static_cast<std::uint32_t>(x);
        return true;
      });
  if (!ok) return "error: " + r.error().report();
  std::string s;
  for (auto v : out) s += std::to_string(v) + ",";
  return s;
}

TEST(MsgpackReaderContainers, SequencesFromArraysAndByteStrings) {
  EXPECT_EQ(u32_seq(arr(0)), "");
  EXPECT_EQ(u32_seq(arr(3) + u(1) + u(300) + u(70000)), "1,300,70000,");
  EXPECT_EQ(u32_seq(raw({0xc4, 3, 7, 0, 255})), "7,0,255,");
  EXPECT_EQ(u32_seq(raw({0xc4, 0})), "");
  EXPECT_EQ(u32_seq(arr(2) + u(1) + str("x")),
            "error: wrong msgpack marker FixStr(1)");
  EXPECT_EQ(u32_seq(str("x")),
            "error: invalid type: string \"x\", expected a sequence");
  EXPECT_EQ(u32_seq(raw({0x81, 1, 2})),
            "error: invalid type: map, expected a sequence");
  // A count of 2^32 - 1 with two elements present: no up-front allocation
  // beyond the cap, and the end of input is reported.
  EXPECT_EQ(u32_seq(raw({0xdd, 0xff, 0xff, 0xff, 0xff, 1, 2})),
            "error: IO error while reading marker: failed to fill whole "
            "buffer\n\nCaused by:\n    failed to fill whole buffer");
}

std::string nested(int depth, const std::string& inner) {
  std::string s;
  for (int k = 0; k < depth; ++k) s += arr(1);
  return s + inner;
}

TEST(MsgpackReaderContainers, SkipAnyHonoursTheDepthBudgetWithoutRecursion) {
  auto skip = [](const std::string& bytes) {
    MemorySource source(bytes);
    MsgpackReader r(source);
    if (!r.skip_any()) return r.error().report();
    return std::string("skipped ") + std::to_string(source.available()) +
           " left";
  };
  EXPECT_EQ(skip(nested(1023, u(1)) + "tail"), "skipped 4 left");
  EXPECT_EQ(skip(nested(1024, u(1))), "depth limit exceeded");
  EXPECT_EQ(skip(nested(100000, "")), "depth limit exceeded");
  // Maps, strings, byte strings and extensions are all skipped whole; the
  // bytes of a byte string or an extension need not be UTF-8.
  std::string mixed =
      raw({0x83, 0xa1, 'k',  0x92, 0xc0, 0xc3, 0xc4, 1,    0xff, 0xc7, 2,
           5,    0xff, 0xfe, 0xc4, 2,    0xff, 0xfe, 0xd1, 0,    1});
  EXPECT_EQ(skip(mixed + "!"), "skipped 1 left");
  EXPECT_EQ(skip(raw({0x92, 0xc1})), "wrong msgpack marker Reserved");
  EXPECT_EQ(skip(raw({0xd4, 1})),
            "IO error while reading data: unexpected end of file\n\nCaused "
            "by:\n    unexpected end of file");
}

// A skipped string is decoded like a kept one: wherever it sits inside the
// skipped value (a map key included), bytes that are not UTF-8 fail with the
// same error and cause as in a field, and nothing after it is read.
TEST(MsgpackReaderContainers, SkipAnyValidatesStrings) {
  auto skip = [](const std::string& bytes) {
    MemorySource source(bytes);
    MsgpackReader r(source);
    if (!r.skip_any()) {
      return r.error().report() + " [" + std::to_string(source.available()) +
             " left]";
    }
    return std::string("skipped");
  };
  const std::string kBadLead =
      "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes "
      "from index 0\n\nCaused by:\n    invalid utf-8 sequence of 1 bytes "
      "from index 0";
  EXPECT_EQ(skip(raw({0xa1, 0xff}) + "!"), kBadLead + " [1 left]");
  EXPECT_EQ(skip(raw({0x92, 0x01, 0xa1, 0xff}) + "!"), kBadLead + " [1 left]");
  EXPECT_EQ(skip(raw({0x81, 0xa1, 0xff, 0xc0}) + "!"), kBadLead + " [2 left]");
  EXPECT_EQ(skip(raw({0x81, 0xc0, 0xd9, 0x02, 'a', 0xc3})),
            "string found to be invalid utf8: incomplete utf-8 byte sequence "
            "from index 1\n\nCaused by:\n    incomplete utf-8 byte sequence "
            "from index 1 [0 left]");
  EXPECT_EQ(skip(raw({0xa2, 0xc3, 0xa9})), "skipped");
  // The same bytes as a byte string or inside an extension are not text.
  EXPECT_EQ(skip(raw({0xc4, 1, 0xff})), "skipped");
  EXPECT_EQ(skip(raw({0xd4, 7, 0xff})), "skipped");
  // A string cut short reports the end of the input, not its bytes.
  EXPECT_EQ(skip(raw({0xa3, 0xff})),
            "IO error while reading data: unexpected end of file\n\nCaused "
            "by:\n    unexpected end of file [0 left]");
}

}  // namespace
}  // namespace quorvel::persist

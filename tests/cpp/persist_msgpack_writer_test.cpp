// Smallest encodings at every width boundary.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "persist/byte_sink.h"
#include "persist/msgpack_writer.h"
#include "persist_bytes.h"

namespace quorvel::persist {
namespace {

using test_support::arr;
using test_support::f64;
using test_support::hex;
using test_support::i;
using test_support::str;
using test_support::u;

TEST(MsgpackWriter, UnsignedAtEveryWidthBoundary) {
  EXPECT_EQ(hex(u(0)), "00");
  EXPECT_EQ(hex(u(127)), "7f");
  EXPECT_EQ(hex(u(128)), "cc 80");
  EXPECT_EQ(hex(u(255)), "cc ff");
  EXPECT_EQ(hex(u(256)), "cd 01 00");
  EXPECT_EQ(hex(u(65535)), "cd ff ff");
  EXPECT_EQ(hex(u(65536)), "ce 00 01 00 00");
  EXPECT_EQ(hex(u(4294967295u)), "ce ff ff ff ff");
  EXPECT_EQ(hex(u(4294967296u)), "cf 00 00 00 01 00 00 00 00");
  EXPECT_EQ(hex(u(UINT64_MAX)), "cf ff ff ff ff ff ff ff ff");
}

TEST(MsgpackWriter, SignedUsesNegativeMarkersAndUnsignedRuleOtherwise) {
  EXPECT_EQ(hex(i(-1)), "ff");
  EXPECT_EQ(hex(i(-32)), "e0");
  EXPECT_EQ(hex(i(-33)), "d0 df");
  EXPECT_EQ(hex(i(-128)), "d0 80");
  EXPECT_EQ(hex(i(-129)), "d1 ff 7f");
  EXPECT_EQ(hex(i(-32768)), "d1 80 00");
  EXPECT_EQ(hex(i(-32769)), "d2 ff ff 7f ff");
  EXPECT_EQ(hex(i(INT64_C(-2147483648))), "d2 80 00 00 00");
  EXPECT_EQ(hex(i(INT64_C(-2147483649))), "d3 ff ff ff ff 7f ff ff ff");
  EXPECT_EQ(hex(i(INT64_MIN)), "d3 80 00 00 00 00 00 00 00");
  for (std::int64_t v : {0, 13, 127, 128, 200, 65536}) {
    EXPECT_EQ(i(v), u(static_cast<std::uint64_t>(v))) << v;
  }
}

TEST(MsgpackWriter, FloatsAreAlwaysNineBytesBitForBit) {
  EXPECT_EQ(hex(f64(1.0)), "cb 3f f0 00 00 00 00 00 00");
  EXPECT_EQ(hex(f64(0.0)), "cb 00 00 00 00 00 00 00 00");
  EXPECT_EQ(hex(f64(-0.0)), "cb 80 00 00 00 00 00 00 00");
  EXPECT_EQ(hex(f64(1.0 / 0.0)), "cb 7f f0 00 00 00 00 00 00");
  EXPECT_EQ(hex(f64(2.0)), "cb 40 00 00 00 00 00 00 00");
}

TEST(MsgpackWriter, StringHeadersAtEveryBoundary) {
  EXPECT_EQ(hex(str("")), "a0");
  EXPECT_EQ(str(std::string(31, 'x')).substr(0, 1), "\xbf");
  EXPECT_EQ(hex(str(std::string(32, 'x')).substr(0, 2)), "d9 20");
  EXPECT_EQ(hex(str(std::string(255, 'x')).substr(0, 2)), "d9 ff");
  EXPECT_EQ(hex(str(std::string(256, 'x')).substr(0, 3)), "da 01 00");
  EXPECT_EQ(hex(str(std::string(65535, 'x')).substr(0, 3)), "da ff ff");
  EXPECT_EQ(hex(str(std::string(65536, 'x')).substr(0, 5)), "db 00 01 00 00");
  std::string big(200000, 'y');
  EXPECT_EQ(str(big).substr(5), big);  // Body unchanged across buffer blocks.
  EXPECT_EQ(hex(str(",")), "a1 2c");
  EXPECT_EQ(hex(str("\xc3\xa9")), "a2 c3 a9");
}

TEST(MsgpackWriter, ArrayHeaders) {
  EXPECT_EQ(hex(arr(0)), "90");
  EXPECT_EQ(hex(arr(15)), "9f");
  EXPECT_EQ(hex(arr(16)), "dc 00 10");
  EXPECT_EQ(hex(arr(32)), "dc 00 20");
  EXPECT_EQ(hex(arr(96)), "dc 00 60");
  EXPECT_EQ(hex(arr(65535)), "dc ff ff");
  EXPECT_EQ(hex(arr(65536)), "dd 00 01 00 00");
}

// A destination that takes `limit` bytes, then fails like a full disk.
class FullDisk final : public ByteSink {
 public:
  explicit FullDisk(std::size_t limit) : limit_(limit) {}
  std::string taken;
  int drains = 0;

 protected:
  std::optional<IoError> drain(const std::uint8_t* bytes,
                               std::size_t n) override {
    ++drains;
    if (taken.size() + n > limit_) return IoError::os(28);  // ENOSPC
    taken.append(reinterpret_cast<const char*>(bytes), n);
    return std::nullopt;
  }

 private:
  std::size_t limit_;
};

TEST(MsgpackWriter, FailureIsTheEncodeChainAndStopsOutput) {
  FullDisk disk(70000);
  MsgpackWriter w(disk);
  for (int k = 0; k < 50000; ++k) w.write_f64(k);
  EXPECT_TRUE(w.failed());
  int drains = disk.drains;
  for (int k = 0; k < 50000; ++k) w.write_f64(k);
  Status s = w.finish();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(disk.drains, drains);  // Nothing drained after the failure.
  EXPECT_EQ(s.error().report(),
            "invalid value write: error while writing multi-byte MessagePack "
            "value\n\nCaused by:\n"
            "    0: error while writing multi-byte MessagePack value\n"
            "    1: No space left on device (os error 28)");
  // The bytes that did get through are a prefix of the intended output.
  EXPECT_EQ(disk.taken, test_support::encode([](MsgpackWriter& ok) {
                          for (int k = 0; k < 50000; ++k) ok.write_f64(k);
                        }).substr(0, disk.taken.size()));
}

}  // namespace
}  // namespace quorvel::persist

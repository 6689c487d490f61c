// A minimal consumer of exported tables for the tests: reads a struct array
// back into strings and numbers by following the interface's rules alone,
// so the tests check what any consumer would see.
#ifndef QUORVEL_TESTS_CPP_ARROW_TEST_SUPPORT_H_
#define QUORVEL_TESTS_CPP_ARROW_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "arrow/c_abi.h"
#include "geocoder/geocoder.h"

namespace quorvel::arrow::testing {

inline bool valid_at(const ArrowArray& array, std::int64_t i) {
  const auto* bits = static_cast<const std::uint8_t*>(array.buffers[0]);
  if (bits == nullptr) return true;
  const std::int64_t bit = array.offset + i;
  return ((bits[bit >> 3] >> (bit & 7)) & 1) != 0;
}

// Row i of a dictionary column of strings, or nullopt for a null.
inline std::optional<std::string> string_at(const ArrowSchema& schema,
                                            const ArrowArray& array,
                                            std::int64_t i) {
  if (!valid_at(array, i)) return std::nullopt;
  const auto* indices = static_cast<const std::int32_t*>(array.buffers[1]);
  const std::int32_t code = indices[array.offset + i];
  const ArrowArray& dict = *array.dictionary;
  EXPECT_GE(code, 0);
  EXPECT_LT(code, dict.length);
  const auto* data = static_cast<const char*>(dict.buffers[2]);
  std::int64_t begin, end;
  if (std::strcmp(schema.dictionary->format, "U") == 0) {
    const auto* offsets = static_cast<const std::int64_t*>(dict.buffers[1]);
    begin = offsets[code];
    end = offsets[code + 1];
  } else {
    const auto* offsets = static_cast<const std::int32_t*>(dict.buffers[1]);
    begin = offsets[code];
    end = offsets[code + 1];
  }
  return std::string(data + begin, static_cast<std::size_t>(end - begin));
}

inline std::vector<std::optional<std::string>> string_column(
    const ArrowSchema& schema, const ArrowArray& array) {
  std::vector<std::optional<std::string>> out;
  for (std::int64_t i = 0; i < array.length; ++i) {
    out.push_back(string_at(schema, array, i));
  }
  return out;
}

inline std::vector<std::optional<double>> float_column(
    const ArrowArray& array) {
  std::vector<std::optional<double>> out;
  const auto* values = static_cast<const double*>(array.buffers[1]);
  for (std::int64_t i = 0; i < array.length; ++i) {
    if (valid_at(array, i)) {
      out.push_back(values[array.offset + i]);
    } else {
      out.push_back(std::nullopt);
    }
  }
  return out;
}

inline ReverseGeocoder built(const std::string& csv) {
  Result<ReverseGeocoder> g = ReverseGeocoder::build(csv, U',', false);
  if (g.ok()) return std::move(g).value();
  ADD_FAILURE() << g.error().message();
  return std::move(ReverseGeocoder::build("lat,lon\n", U',', false)).value();
}

}  // namespace quorvel::arrow::testing

#endif  // QUORVEL_TESTS_CPP_ARROW_TEST_SUPPORT_H_

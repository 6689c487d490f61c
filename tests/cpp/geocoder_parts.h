// Test helpers that take a geocoder apart and put it together again, so that
// tests can damage or edit its parts and hand them to from_parts, as a
// loaded file does.
#ifndef QUORVEL_TESTS_CPP_GEOCODER_PARTS_H_
#define QUORVEL_TESTS_CPP_GEOCODER_PARTS_H_

#include <string>
#include <utility>
#include <vector>

#include "geocoder/geocoder.h"

namespace quorvel::test_support {

// Every field of a geocoder, with the tree's fields unchecked.
struct GeocoderParts {
  std::string csv;
  char32_t value_sep;
  std::vector<std::string> columns;
  std::vector<StringSlice> indexed_data;
  kdtree::TreeParts tree;
};

inline GeocoderParts parts_of(const ReverseGeocoder& g) {
  return {g.csv(),
          g.value_sep(),
          g.columns(),
          g.indexed_data(),
          {g.tree().leaves(), g.tree().stems(), g.tree().size()}};
}

inline Result<ReverseGeocoder> from_parts(GeocoderParts p) {
  return ReverseGeocoder::from_parts(
      std::move(p.csv), p.value_sep, std::move(p.columns),
      std::move(p.indexed_data), std::move(p.tree));
}

}  // namespace quorvel::test_support

#endif  // QUORVEL_TESTS_CPP_GEOCODER_PARTS_H_

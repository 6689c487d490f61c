#include "persist/loaded_geocoder_check.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace quorvel::persist {
namespace {

using kdtree::ImmutableKdTree;
using kdtree::kBucketSize;
using kdtree::kDimensions;

Error broken(const std::string& what) {
  return Error("invalid saved geocoder: " + what);
}

std::string str(std::uint64_t v) { return std::to_string(v); }

// A byte position splits no character when it is the end of the text or
// does not hold a continuation byte.
bool on_char_boundary(const std::string& text, std::size_t pos) {
  return pos == text.size() ||
         (static_cast<unsigned char>(text[pos]) & 0xc0) != 0x80;
}

Status check_slices(const ReverseGeocoder& g) {
  const std::string& csv = g.csv;
  for (std::size_t i = 0; i < g.indexed_data.size(); ++i) {
    const StringSlice& s = g.indexed_data[i];
    // Built only on failure: this loop runs once per record.
    auto where = [&] {
      return "indexed_data[" + str(i) + "] (offset " +
             std::to_string(s.offset) + ", len " + str(s.len) + ")";
    };
    if (s.offset < 0) return broken(where() + " has a negative offset");
    auto start = static_cast<std::size_t>(s.offset);
    if (start > csv.size() || s.len > csv.size() - start) {
      return broken(where() + " reaches past the end of csv (" +
                    str(csv.size()) + " bytes)");
    }
    if (!on_char_boundary(csv, start) || !on_char_boundary(csv, start + s.len)) {
      return broken(where() + " cuts a UTF-8 character of csv");
    }
  }
  return Status::Ok();
}

Status check_leaves(const ReverseGeocoder& g) {
  const ImmutableKdTree& tree = g.tree;
  std::uint64_t total = 0;
  for (std::size_t l = 0; l < tree.leaves.size(); ++l) {
    const kdtree::LeafNode& leaf = tree.leaves[l];
    auto where = [l] { return "tree.leaves[" + str(l) + "]"; };
    if (leaf.size > kBucketSize) {
      return broken(where() + ".size is " + str(leaf.size) +
                    ", more than the 32 slots of a leaf");
    }
    total += leaf.size;
    for (std::size_t s = 0; s < leaf.size; ++s) {
      if (leaf.content_items[s] >= g.indexed_data.size()) {
        return broken(where() + " slot " + str(s) + " holds item " +
                      str(leaf.content_items[s]) + ", but there are only " +
                      str(g.indexed_data.size()) + " slices");
      }
      for (std::size_t d = 0; d < kDimensions; ++d) {
        if (std::isnan(leaf.content_points[d][s])) {
          return broken(where() + " slot " + str(s) +
                        " holds a NaN coordinate");
        }
      }
    }
  }
  if (total != tree.size) {
    return broken("the leaf sizes add up to " + str(total) +
                  ", but tree.size is " + str(tree.size));
  }
  return Status::Ok();
}

Status check_tree_shape(const ImmutableKdTree& tree) {
  const std::size_t stem_slots = tree.stems.size();
  if (stem_slots == 0 || (stem_slots & (stem_slots - 1)) != 0) {
    return broken("tree.stems has " + str(stem_slots) +
                  " slots, not a power of two");
  }
  if (tree.leaves.size() > stem_slots) {
    return broken("tree.leaves has " + str(tree.leaves.size()) +
                  " leaves, more than the " + str(stem_slots) + " stem slots");
  }
  if (tree.size == 0) return Status::Ok();

  // Walk the stems parents first (children 2k, 2k+1 come after k). A finite
  // coordinate never goes right of +inf (it is below) nor left of -inf or
  // NaN (it compares not-below), and the query's pruning bound is then
  // infinite or NaN, so it never visits that side either.
  auto missing_leaf = [&](std::size_t node) {
    std::size_t leaf = node - stem_slots;
    return broken("tree node " + str(node) + " leads to leaf " + str(leaf) +
                  ", but tree.leaves has only " + str(tree.leaves.size()));
  };
  if (stem_slots == 1) {
    return tree.leaves.empty() ? missing_leaf(1) : Status::Ok();
  }
  std::vector<bool> reachable(stem_slots, false);
  reachable[1] = true;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (std::size_t k = 1; k < stem_slots; ++k) {
    if (!reachable[k]) continue;
    const double split = tree.stems[k];
    const bool left = split == split && split != -kInf;
    const bool right = split != kInf;
    for (std::size_t child : {2 * k, 2 * k + 1}) {
      if (child == 2 * k ? !left : !right) continue;
      if (child < stem_slots) {
        reachable[child] = true;
      } else if (child - stem_slots >= tree.leaves.size()) {
        return missing_leaf(child);
      }
    }
  }
  return Status::Ok();
}

}  // namespace

Status check_loaded_geocoder(const ReverseGeocoder& geocoder) {
  if (Status s = check_slices(geocoder); !s.ok()) return s;
  if (Status s = check_leaves(geocoder); !s.ok()) return s;
  return check_tree_shape(geocoder.tree);
}

}  // namespace quorvel::persist

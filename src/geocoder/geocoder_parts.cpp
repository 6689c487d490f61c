// ReverseGeocoder::from_parts: the one way in for parts made elsewhere.
//
// A built geocoder satisfies these rules by construction; a saved file may
// have been damaged or crafted. The lookups read the text through the slices
// without checks, so every slice must lie inside the text on character
// boundaries and every item the tree can answer must index a slice. The
// tree's own rules (leaf sizes, NaN coordinates, reachable leaves) are
// checked by the tree itself.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "base/utf8.h"
#include "geocoder/geocoder.h"

namespace quorvel {
namespace {

constexpr char kBrokenPrefix[] = "invalid saved geocoder: ";

Error broken(const std::string& what) { return Error(kBrokenPrefix + what); }

std::string str(std::uint64_t v) { return std::to_string(v); }

// A byte position splits no character when it is the end of the text or
// does not hold a continuation byte.
bool on_char_boundary(const std::string& text, std::size_t pos) {
  return pos == text.size() || !utf8::is_continuation_byte(text[pos]);
}

// Slices and leaves are checked between stop requests in runs of this many:
// well under a millisecond of work.
constexpr std::size_t kChecksPerStop = 1 << 16;

Status check_slices(const std::string& csv,
                    const std::vector<StringSlice>& slices,
                    StopCheck& stop_check) {
  for (std::size_t i = 0; i < slices.size(); ++i) {
    if (i % kChecksPerStop == 0 && stop_check.due()) return interrupted();
    const StringSlice& s = slices[i];
    // Built only on failure: this loop runs once per record.
    auto where = [&] {
      return "indexed_data[" + str(i) + "] (offset " +
             std::to_string(s.offset) + ", len " + str(s.len) + ")";
    };
    if (s.offset < 0) return broken(where() + " has a negative offset");
    auto start = static_cast<std::size_t>(s.offset);
    // Compared without forming start + len, which could wrap.
    if (start > csv.size() || s.len > csv.size() - start) {
      return broken(where() + " reaches past the end of csv (" +
                    str(csv.size()) + " bytes)");
    }
    if (!on_char_boundary(csv, start) ||
        !on_char_boundary(csv, start + s.len)) {
      return broken(where() + " cuts a UTF-8 character of csv");
    }
  }
  return Status::Ok();
}

Status check_items(const kdtree::ImmutableKdTree& tree, std::size_t slice_count,
                   StopCheck& stop_check) {
  const std::vector<kdtree::LeafNode>& leaves = tree.leaves();
  for (std::size_t l = 0; l < leaves.size(); ++l) {
    if (l % kChecksPerStop == 0 && stop_check.due()) return interrupted();
    const kdtree::LeafNode& leaf = leaves[l];
    for (std::size_t s = 0; s < leaf.size; ++s) {
      if (leaf.content_items[s] >= slice_count) {
        return broken("tree.leaves[" + str(l) + "] slot " + str(s) +
                      " holds item " + str(leaf.content_items[s]) +
                      ", but there are only " + str(slice_count) + " slices");
      }
    }
  }
  return Status::Ok();
}

}  // namespace

Result<ReverseGeocoder> ReverseGeocoder::from_parts(
    std::string csv, char32_t value_sep, std::vector<std::string> columns,
    std::vector<StringSlice> indexed_data, kdtree::ImmutableKdTree tree) {
  if (Status s = check_slices(csv, indexed_data, never_stop()); !s.ok()) {
    return std::move(s).error();
  }
  if (Status s = check_items(tree, indexed_data.size(), never_stop());
      !s.ok()) {
    return std::move(s).error();
  }
  return ReverseGeocoder(std::move(csv), value_sep, std::move(columns),
                         std::move(indexed_data), std::move(tree));
}

Result<ReverseGeocoder> ReverseGeocoder::from_parts(
    std::string csv, char32_t value_sep, std::vector<std::string> columns,
    std::vector<StringSlice> indexed_data, kdtree::TreeParts tree,
    StopCheck& stop_check) {
  if (Status s = check_slices(csv, indexed_data, stop_check); !s.ok()) {
    return std::move(s).error();
  }
  Result<kdtree::ImmutableKdTree> checked = kdtree::ImmutableKdTree::from_parts(
      std::move(tree.leaves), std::move(tree.stems), tree.size);
  if (!checked.ok()) return broken(checked.error().message());
  if (stop_check.due()) return interrupted();
  // Every point of a geocoder is the unit vector of a position, in the leaf
  // its build routed it to; a damaged file whose points pass the tree's own
  // checks would otherwise load and answer with the wrong records.
  if (std::optional<Error> misplaced = kdtree::first_misplaced_point(
          checked.value().leaves(), checked.value().stems())) {
    return broken(misplaced->message());
  }
  if (stop_check.due()) return interrupted();
  if (Status s = check_items(checked.value(), indexed_data.size(), stop_check);
      !s.ok()) {
    return std::move(s).error();
  }
  return ReverseGeocoder(std::move(csv), value_sep, std::move(columns),
                         std::move(indexed_data), std::move(checked).value());
}

}  // namespace quorvel

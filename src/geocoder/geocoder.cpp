#include "geocoder/geocoder.h"

#include <cmath>
#include <optional>
#include <utility>

#include "csv/lines.h"
#include "geocoder/build_errors.h"
#include "geocoder/messages.h"
#include "geocoder/sphere.h"

namespace quorvel {

Error ReverseGeocoder::lookup_error(kdtree::QueryStatus status) {
  switch (status) {
    case kdtree::QueryStatus::kNoPoints:
      return Error(messages::kNoRecords);
    case kdtree::QueryStatus::kQueryNotFinite:
      return Error(messages::kNotFinite, ErrorKind::kInvalidArgument);
    case kdtree::QueryStatus::kCorruptTree:
      return Error(messages::kCorruptIndex);
    case kdtree::QueryStatus::kOk:
      break;
  }
  panic("a lookup error asked for a search that succeeded");
}

Status ReverseGeocoder::check_has_records() const {
  if (tree_.size() == 0) return lookup_error(kdtree::QueryStatus::kNoPoints);
  return Status::Ok();
}

Result<std::uint32_t> ReverseGeocoder::nearest_item(double lat,
                                                    double lon) const {
  // A NaN query vector makes every distance unordered; refuse it up front.
  if (!std::isfinite(lat) || !std::isfinite(lon)) {
    return lookup_error(kdtree::QueryStatus::kQueryNotFinite);
  }
  Result<kdtree::NearestResult> found = nearest_to(lat_lon_to_point(lat, lon));
  if (!found.ok()) return std::move(found).error();
  // The answer is a filled slot's item, or item 0 when no stored point is at
  // a finite distance; the tree holds points, so there is a slice 0 and
  // every filled slot's item has its slice.
  return found.value().item;
}

Result<std::string_view> ReverseGeocoder::get_nearest(double lat,
                                                      double lon) const {
  Result<std::uint32_t> item = nearest_item(lat, lon);
  if (!item.ok()) return std::move(item).error();
  return line(item.value());
}

Result<csv::Record> ReverseGeocoder::record_fields(std::uint32_t item) const {
  const std::optional<csv::AsciiSeparator> sep =
      csv::AsciiSeparator::from(value_sep_);
  if (!sep) return build_errors::separator(value_sep_);
  Result<csv::Record> record = csv::parse_csv_line(line(item), sep->byte());
  if (!record.ok()) return record;
  if (record.value().size() > columns_.size()) {
    return Error("the nearest record has " +
                 std::to_string(record.value().size()) +
                 " fields, but the geocoder has only " +
                 std::to_string(columns_.size()) + " columns");
  }
  return record;
}

Result<csv::Record> ReverseGeocoder::get_nearest_record(double lat,
                                                        double lon) const {
  Result<std::uint32_t> item = nearest_item(lat, lon);
  if (!item.ok()) return std::move(item).error();
  return record_fields(item.value());
}

}  // namespace quorvel

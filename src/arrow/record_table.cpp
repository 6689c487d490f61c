#include "arrow/record_table.h"

#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "arrow/buffer.h"

namespace quorvel::arrow {

namespace {

constexpr std::size_t kMaxDictionary = std::numeric_limits<std::int32_t>::max();

static_assert(regions::kNoRegion == kNoRecord,
              "a region lookup's miss must read as a row without a record");

// The records a table is built from. One builder serves each kind through
// these adapters, a template argument rather than a virtual interface, so
// that reading a record costs no indirect call on the geocoder's path.
// Each offers size() and columns(), fields(item) (an object with size()
// and field(c), or an error), and the words its messages use.
class GeocoderRecords {
 public:
  static constexpr const char* kRecord = "record";
  static constexpr const char* kHolder = "the geocoder has";

  explicit GeocoderRecords(const ReverseGeocoder& geocoder)
      : geocoder_(geocoder) {}
  std::size_t size() const { return geocoder_.size(); }
  const std::vector<std::string>& columns() const {
    return geocoder_.columns();
  }
  // A stored line parsed anew: the geocoder keeps its records as text.
  Result<csv::Record> fields(std::uint32_t item) const {
    return geocoder_.record_fields(item);
  }

 private:
  const ReverseGeocoder& geocoder_;
};

class RegionRecords {
 public:
  static constexpr const char* kRecord = "region";
  static constexpr const char* kHolder = "the regions have";

  // One region's fields, read where the index keeps them; a region always
  // has every column.
  struct Fields {
    const regions::Regions* regions;
    std::uint32_t region;

    std::size_t size() const { return regions->columns().size(); }
    std::string_view field(std::size_t c) const {
      return regions->field(region, c);
    }
  };

  explicit RegionRecords(const regions::Regions& regions) : regions_(regions) {}
  std::size_t size() const { return regions_.size(); }
  const std::vector<std::string>& columns() const { return regions_.columns(); }
  Result<Fields> fields(std::uint32_t item) const {
    return Fields{&regions_, item};
  }

 private:
  const regions::Regions& regions_;
};

// Dictionary codes by record number. A table over all records costs 4 bytes
// a record, worth it once the rows are a fair share of the records; a few
// rows over a large geocoder use a hash map instead.
class DenseCodes {
 public:
  explicit DenseCodes(std::size_t records) : codes_(records, -1) {}
  std::int32_t& operator[](std::uint32_t item) { return codes_[item]; }

 private:
  std::vector<std::int32_t> codes_;
};

class SparseCodes {
 public:
  std::int32_t& operator[](std::uint32_t item) {
    return codes_.try_emplace(item, -1).first->second;
  }

 private:
  std::unordered_map<std::uint32_t, std::int32_t> codes_;
};

// The shared part of every string column: one code per row (the position
// of its record among the distinct records), the validity of each row and
// the distinct records in order of first occurrence.
struct RowCodes {
  std::shared_ptr<Buffer> indices;
  std::shared_ptr<Buffer> validity;
  std::int64_t null_count = 0;
  std::vector<std::uint32_t> distinct;
};

template <typename Source, typename Codes>
Status assign_codes(const Source& source, std::span<const std::uint32_t> items,
                    Codes& code_of, RowCodes& rows) {
  const std::size_t records = source.size();
  auto* codes = rows.indices->mutable_as<std::int32_t>();
  std::uint8_t* bits = rows.validity->mutable_data();
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::uint32_t item = items[i];
    if (item == kNoRecord) {
      ++rows.null_count;
      continue;  // The zeroed buffers already read as index 0, null.
    }
    if (item >= records) {
      return Error(std::string(Source::kRecord) + " number " +
                       std::to_string(item) +
                       " is out of range: " + Source::kHolder + " " +
                       std::to_string(records) + " " + Source::kRecord + "s",
                   ErrorKind::kInvalidArgument);
    }
    std::int32_t& code = code_of[item];
    if (code < 0) {
      if (rows.distinct.size() == kMaxDictionary) {
        return Error("more than 2147483647 distinct records in one table",
                     ErrorKind::kInvalidArgument);
      }
      code = static_cast<std::int32_t>(rows.distinct.size());
      rows.distinct.push_back(item);
    }
    codes[i] = code;
    bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
  }
  return Status::Ok();
}

// One field's dictionary: each distinct value once, in the order the
// distinct records first show it, and for each distinct record the entry of
// its value (0, unused, for a record too short to have the field).
struct FieldDictionary {
  std::vector<std::int64_t> ends;
  std::vector<char> text;
  std::unordered_map<std::string, std::int32_t> entry_of;
  std::vector<std::int32_t> entry_of_record;
  std::vector<std::uint8_t> lacking;  // Empty when no record lacks it.

  void add(std::string_view value) {
    auto [it, added] = entry_of.try_emplace(
        std::string(value), static_cast<std::int32_t>(ends.size()));
    if (added) {
      text.insert(text.end(), value.begin(), value.end());
      ends.push_back(static_cast<std::int64_t>(text.size()));
    }
    entry_of_record.push_back(it->second);
  }

  // True when entry d belongs to distinct record d for every record, so the
  // record codes serve as this column's indices unchanged.
  bool follows_records() const {
    if (!lacking.empty() || ends.size() != entry_of_record.size()) {
      return false;
    }
    for (std::size_t d = 0; d < entry_of_record.size(); ++d) {
      if (entry_of_record[d] != static_cast<std::int32_t>(d)) return false;
    }
    return true;
  }
};

// A column's own indices: its entry for each row's record.
SharedBuffer remapped_indices(
    const RowCodes& rows, std::size_t n,
    const std::vector<std::int32_t>& entry_of_record) {
  auto indices = Buffer::zeroed(n * sizeof(std::int32_t));
  auto* out = indices->mutable_as<std::int32_t>();
  const auto* codes = rows.indices->mutable_as<std::int32_t>();
  if (!entry_of_record.empty()) {
    for (std::size_t i = 0; i < n; ++i) out[i] = entry_of_record[codes[i]];
  }
  return indices;
}

// The dictionary's buffers, with int32 offsets while the text allows.
void finish_dictionary(FieldDictionary& dictionary, Field& field,
                       Column& column) {
  const std::size_t entries = dictionary.ends.size();
  const bool large =
      dictionary.text.size() >
      static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  field.type =
      large ? ColumnType::kDictionaryLargeUtf8 : ColumnType::kDictionaryUtf8;
  column.dictionary_length = static_cast<std::int64_t>(entries);
  if (large) {
    std::vector<std::int64_t> offsets;
    offsets.reserve(entries + 1);
    offsets.push_back(0);
    offsets.insert(offsets.end(), dictionary.ends.begin(),
                   dictionary.ends.end());
    column.dictionary_offsets = Buffer::adopt(std::move(offsets));
  } else {
    auto offsets = Buffer::zeroed((entries + 1) * sizeof(std::int32_t));
    auto* out = offsets->mutable_as<std::int32_t>();
    for (std::size_t j = 0; j < entries; ++j) {
      out[j + 1] = static_cast<std::int32_t>(dictionary.ends[j]);
    }
    column.dictionary_offsets = std::move(offsets);
  }
  column.dictionary_data = Buffer::adopt(std::move(dictionary.text));
}

// The validity of a column whose field some records lack: the shared
// validity, less the rows of those records.
void mask_lacking(const RowCodes& rows, std::size_t n,
                  const std::vector<std::uint8_t>& lacking, Column& column) {
  auto validity = Buffer::zeroed((n + 7) / 8);
  std::uint8_t* bits = validity->mutable_data();
  const std::uint8_t* shared = rows.validity->data();
  const auto* codes = rows.indices->mutable_as<std::int32_t>();
  std::int64_t nulls = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool valid =
        ((shared[i >> 3] >> (i & 7)) & 1) != 0 && lacking[codes[i]] == 0;
    if (valid) {
      bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
    } else {
      ++nulls;
    }
  }
  column.validity = std::move(validity);
  column.null_count = nulls;
}

template <typename Source>
Result<std::shared_ptr<const Table>> build_table(
    const Source& source, std::span<const std::uint32_t> items,
    RecordColumns columns) {
  const std::size_t width = source.columns().size();
  for (std::size_t field : columns.fields) {
    if (field >= width) {
      return Error("field " + std::to_string(field) +
                       " is out of range: " + Source::kHolder + " " +
                       std::to_string(width) + " columns",
                   ErrorKind::kInvalidArgument);
    }
  }
  const std::size_t n = items.size();
  if (columns.distances_km.has_value() && columns.distances_km->size() != n) {
    return Error("there are " + std::to_string(columns.distances_km->size()) +
                     " distances for " + std::to_string(n) + " rows",
                 ErrorKind::kInvalidArgument);
  }

  RowCodes rows;
  rows.indices = Buffer::zeroed(n * sizeof(std::int32_t));
  rows.validity = Buffer::zeroed((n + 7) / 8);
  const std::size_t records = source.size();
  Status coded = Status::Ok();
  if (n >= records / 8) {
    DenseCodes codes(records);
    coded = assign_codes(source, items, codes, rows);
  } else {
    SparseCodes codes;
    coded = assign_codes(source, items, codes, rows);
  }
  if (!coded.ok()) return std::move(coded).error();

  // One dictionary per distinct field chosen; each distinct record is
  // parsed once for all of them. Consumers turn a dictionary into a
  // categorical type, which must not repeat a value, so values are merged
  // across records.
  std::vector<std::size_t> slot_of_field(width, SIZE_MAX);
  std::vector<std::size_t> chosen;
  for (std::size_t field : columns.fields) {
    if (slot_of_field[field] == SIZE_MAX) {
      slot_of_field[field] = chosen.size();
      chosen.push_back(field);
    }
  }
  std::vector<FieldDictionary> dictionaries(chosen.size());
  for (FieldDictionary& dictionary : dictionaries) {
    dictionary.entry_of_record.reserve(rows.distinct.size());
  }
  for (std::size_t d = 0; d < rows.distinct.size(); ++d) {
    auto record = source.fields(rows.distinct[d]);
    if (!record.ok()) return std::move(record).error();
    const auto& fields = record.value();
    for (std::size_t s = 0; s < chosen.size(); ++s) {
      FieldDictionary& dictionary = dictionaries[s];
      if (chosen[s] < fields.size()) {
        dictionary.add(fields.field(chosen[s]));
      } else {
        if (dictionary.lacking.empty()) {
          dictionary.lacking.assign(rows.distinct.size(), 0);
        }
        dictionary.lacking[d] = 1;
        dictionary.entry_of_record.push_back(0);
      }
    }
  }

  SharedBuffer shared_validity =
      rows.null_count == 0 ? nullptr : SharedBuffer(rows.validity);
  std::vector<Field> table_fields;
  std::vector<Column> table_columns;
  std::vector<Field> slot_fields(chosen.size());
  std::vector<Column> slot_columns(chosen.size());
  for (std::size_t s = 0; s < chosen.size(); ++s) {
    Column& column = slot_columns[s];
    column.values =
        dictionaries[s].follows_records()
            ? SharedBuffer(rows.indices)
            : remapped_indices(rows, n, dictionaries[s].entry_of_record);
    column.validity = shared_validity;
    column.null_count = rows.null_count;
    if (!dictionaries[s].lacking.empty()) {
      mask_lacking(rows, n, dictionaries[s].lacking, column);
    }
    slot_fields[s].name = source.columns()[chosen[s]];
    finish_dictionary(dictionaries[s], slot_fields[s], column);
  }
  for (std::size_t field : columns.fields) {
    table_fields.push_back(slot_fields[slot_of_field[field]]);
    table_columns.push_back(slot_columns[slot_of_field[field]]);
  }
  if (columns.distances_km.has_value()) {
    Column distance;
    distance.values = Buffer::adopt(std::move(*columns.distances_km));
    distance.validity = shared_validity;
    distance.null_count = rows.null_count;
    table_fields.push_back(Field{kDistanceColumn, ColumnType::kFloat64});
    table_columns.push_back(std::move(distance));
  }

  std::vector<RecordBatch> batches(1);
  batches[0].length = static_cast<std::int64_t>(n);
  batches[0].columns = std::move(table_columns);
  return Table::make(std::move(table_fields), std::move(batches));
}

}  // namespace

Result<std::shared_ptr<const Table>> build_record_table(
    const ReverseGeocoder& geocoder, std::span<const std::uint32_t> items,
    RecordColumns columns) {
  return build_table(GeocoderRecords(geocoder), items, std::move(columns));
}

Result<std::shared_ptr<const Table>> build_record_table(
    const regions::Regions& regions, std::span<const std::uint32_t> items,
    RecordColumns columns) {
  return build_table(RegionRecords(regions), items, std::move(columns));
}

}  // namespace quorvel::arrow

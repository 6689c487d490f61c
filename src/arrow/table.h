// Tables as the Arrow C data interface carries them: a schema (a struct whose
// children are the columns) and record batches (struct arrays), exported
// into the ABI structs of c_abi.h with release callbacks that free what each
// struct owns.
//
// Two column types are produced:
//   - dictionary-encoded UTF-8 text: int32 indices with a validity bitmap,
//     over a dictionary of strings ("u", int32 offsets; "U", int64 offsets,
//     once the text passes 2^31 - 1 bytes);
//   - float64 values with a validity bitmap.
// Every column is nullable. The values under a null slot are unspecified.
//
// Exports copy no values: each exported struct holds shared references to
// the table's buffers, so a table may be exported any number of times, and
// any exported struct (a child moved out of its parent included) may be
// released in any order, before or after the table itself is dropped.
//
// Thread safety: a Table is immutable; several threads may export it at
// once. An exported struct belongs to whoever received it.

#ifndef QUORVEL_ARROW_TABLE_H_
#define QUORVEL_ARROW_TABLE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrow/buffer.h"
#include "arrow/c_abi.h"
#include "base/error.h"

namespace quorvel::arrow {

enum class ColumnType : std::uint8_t {
  kDictionaryUtf8,       // int32 indices over "u".
  kDictionaryLargeUtf8,  // int32 indices over "U".
  kFloat64,
};

// A column's name and type, as the schema shows it.
struct Field {
  std::string name;
  ColumnType type;
};

// The values of one column in one record batch.
struct Column {
  std::int64_t null_count = 0;
  // Bit i set when row i is valid, least significant bit first; null when
  // the column has no nulls.
  SharedBuffer validity;
  // int32 dictionary indices, or float64 values; one per row.
  SharedBuffer values;

  // Dictionary columns only: `dictionary_length` strings, string j being the
  // bytes [offsets[j], offsets[j + 1]) of `dictionary_data`, with int32
  // offsets for kDictionaryUtf8 and int64 offsets for kDictionaryLargeUtf8.
  std::int64_t dictionary_length = 0;
  SharedBuffer dictionary_offsets;
  SharedBuffer dictionary_data;
};

// One record batch: `length` rows, one column per field of its table.
struct RecordBatch {
  std::int64_t length = 0;
  std::vector<Column> columns;
};

class Table {
 public:
  // A table of `fields` over `batches`. Fails with kInvalidArgument when a
  // batch has a different number of columns than there are fields, or when a
  // column's buffers are too small for its batch, its dictionary or its
  // type, so that nothing exported can send a consumer past a buffer's end.
  static Result<std::shared_ptr<const Table>> make(
      std::vector<Field> fields, std::vector<RecordBatch> batches);

  const std::vector<Field>& fields() const { return fields_; }
  const std::vector<RecordBatch>& batches() const { return batches_; }

  // Total rows over all batches.
  std::int64_t rows() const;

 private:
  Table(std::vector<Field> fields, std::vector<RecordBatch> batches)
      : fields_(std::move(fields)), batches_(std::move(batches)) {}

  std::vector<Field> fields_;
  std::vector<RecordBatch> batches_;
};

// Writes the table's schema into `out`: a struct "+s" with one nullable
// child per field, named after it.
// REQUIRES: out is not null; whatever it held is not owned by the caller any
// more (it is overwritten, not released).
void export_schema(const Table& table, ArrowSchema* out);

// Writes batch `index` of `table` into `out` as a struct array.
// REQUIRES: index < table.batches().size(); out as for export_schema.
void export_batch(const Table& table, std::size_t index, ArrowArray* out);

// Writes a stream over the table's batches into `out`. The stream shares the
// table; get_schema may be called any number of times, get_next hands out
// each batch once and then the end marker, and get_last_error is null, as
// this stream has nothing that can fail.
// REQUIRES: out as for export_schema.
void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out);

}  // namespace quorvel::arrow

#endif  // QUORVEL_ARROW_TABLE_H_

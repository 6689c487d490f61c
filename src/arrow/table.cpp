#include "arrow/table.h"

#include <cstring>
#include <string>
#include <utility>

namespace quorvel::arrow {

namespace {

bool is_dictionary(ColumnType type) { return type != ColumnType::kFloat64; }

std::size_t offset_width(ColumnType type) {
  return type == ColumnType::kDictionaryLargeUtf8 ? sizeof(std::int64_t)
                                                  : sizeof(std::int32_t);
}

Error column_error(const Field& field, std::size_t batch,
                   const std::string& what) {
  return Error("column \"" + field.name + "\" of batch " +
                   std::to_string(batch) + ": " + what,
               ErrorKind::kInvalidArgument);
}

template <typename Offset>
bool offsets_fit(const Column& column) {
  const auto* offsets =
      reinterpret_cast<const Offset*>(column.dictionary_offsets->data());
  if (offsets[0] != 0) return false;
  for (std::int64_t j = 0; j < column.dictionary_length; ++j) {
    if (offsets[j + 1] < offsets[j]) return false;
  }
  return static_cast<std::uint64_t>(offsets[column.dictionary_length]) <=
         column.dictionary_data->size();
}

// Checks everything a consumer will trust without looking: buffer sizes,
// offsets and, for dictionary columns, that every index names an entry.
Status check_column(const Field& field, std::size_t batch, std::int64_t length,
                    const Column& column) {
  const auto rows = static_cast<std::uint64_t>(length);
  if (column.null_count < 0 || column.null_count > length) {
    return column_error(field, batch, "null count out of range");
  }
  if (column.validity == nullptr ? column.null_count != 0
                                 : column.validity->size() < (rows + 7) / 8) {
    return column_error(field, batch, "validity bitmap missing or too short");
  }
  const std::size_t width =
      is_dictionary(field.type) ? sizeof(std::int32_t) : sizeof(double);
  if (column.values == nullptr || column.values->size() / width < rows) {
    return column_error(field, batch, "values missing or too short");
  }
  if (!is_dictionary(field.type)) {
    if (column.dictionary_offsets != nullptr ||
        column.dictionary_data != nullptr || column.dictionary_length != 0) {
      return column_error(field, batch, "a float64 column has a dictionary");
    }
    return Status::Ok();
  }
  const auto entries = column.dictionary_length;
  if (entries < 0 || column.dictionary_offsets == nullptr ||
      column.dictionary_data == nullptr ||
      column.dictionary_offsets->size() / offset_width(field.type) <
          static_cast<std::uint64_t>(entries) + 1) {
    return column_error(field, batch, "dictionary missing or too short");
  }
  const bool offsets_ok = field.type == ColumnType::kDictionaryLargeUtf8
                              ? offsets_fit<std::int64_t>(column)
                              : offsets_fit<std::int32_t>(column);
  if (!offsets_ok) {
    return column_error(field, batch, "dictionary offsets out of order");
  }
  // Values under null slots are unspecified but must still not lead out of
  // the dictionary; an empty dictionary can only serve null rows, as 0.
  if (entries == 0 && column.null_count != length) {
    return column_error(field, batch, "an empty dictionary for valid rows");
  }
  const auto limit = static_cast<std::uint32_t>(entries == 0 ? 1 : entries);
  const auto* indices =
      reinterpret_cast<const std::int32_t*>(column.values->data());
  bool in_range = true;
  for (std::uint64_t i = 0; i < rows; ++i) {
    in_range &= static_cast<std::uint32_t>(indices[i]) < limit;
  }
  if (!in_range) return column_error(field, batch, "an index out of range");
  return Status::Ok();
}

// What an exported schema owns: its strings and its children's structs. Each
// child struct carries its own private data, so a child moved out of its
// parent outlives the parent's release.
struct SchemaPrivate {
  std::string format;
  std::string name;
  std::vector<ArrowSchema*> children;
  ArrowSchema* dictionary = nullptr;
};

void release_schema(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  auto* owned = static_cast<SchemaPrivate*>(schema->private_data);
  for (ArrowSchema* child : owned->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  if (owned->dictionary != nullptr) {
    if (owned->dictionary->release != nullptr) {
      owned->dictionary->release(owned->dictionary);
    }
    delete owned->dictionary;
  }
  delete owned;
  schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, std::string format, std::string name,
                 std::int64_t flags) {
  auto* owned = new SchemaPrivate{std::move(format), std::move(name), {}, {}};
  *out = ArrowSchema{};
  out->format = owned->format.c_str();
  out->name = owned->name.c_str();
  out->metadata = nullptr;
  out->flags = flags;
  out->release = release_schema;
  out->private_data = owned;
}

// The format string of a dictionary's values.
const char* dictionary_format(ColumnType type) {
  return type == ColumnType::kDictionaryLargeUtf8 ? "U" : "u";
}

void export_field(const Field& field, ArrowSchema* out) {
  if (field.type == ColumnType::kFloat64) {
    fill_schema(out, "g", field.name, ARROW_FLAG_NULLABLE);
    return;
  }
  fill_schema(out, "i", field.name, ARROW_FLAG_NULLABLE);
  auto* owned = static_cast<SchemaPrivate*>(out->private_data);
  owned->dictionary = new ArrowSchema;
  fill_schema(owned->dictionary, dictionary_format(field.type), "",
              ARROW_FLAG_NULLABLE);
  out->dictionary = owned->dictionary;
}

// What an exported array owns: shared references to the buffers it points
// into, the pointer list itself, and its children's structs.
struct ArrayPrivate {
  std::vector<SharedBuffer> holds;
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
  ArrowArray* dictionary = nullptr;
};

void release_array(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  auto* owned = static_cast<ArrayPrivate*>(array->private_data);
  for (ArrowArray* child : owned->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  if (owned->dictionary != nullptr) {
    if (owned->dictionary->release != nullptr) {
      owned->dictionary->release(owned->dictionary);
    }
    delete owned->dictionary;
  }
  delete owned;
  array->release = nullptr;
}

// Fills `out` with `length` rows over `buffers` (null entries stay null).
ArrayPrivate* fill_array(ArrowArray* out, std::int64_t length,
                         std::int64_t null_count,
                         std::initializer_list<SharedBuffer> buffers) {
  auto* owned = new ArrayPrivate;
  for (const SharedBuffer& buffer : buffers) {
    owned->buffers.push_back(buffer == nullptr ? nullptr : buffer->data());
    if (buffer != nullptr) owned->holds.push_back(buffer);
  }
  *out = ArrowArray{};
  out->length = length;
  out->null_count = null_count;
  out->offset = 0;
  out->n_buffers = static_cast<std::int64_t>(owned->buffers.size());
  out->buffers = owned->buffers.data();
  out->release = release_array;
  out->private_data = owned;
  return owned;
}

void export_column(const Field& field, std::int64_t length,
                   const Column& column, ArrowArray* out) {
  ArrayPrivate* owned = fill_array(out, length, column.null_count,
                                   {column.validity, column.values});
  if (!is_dictionary(field.type)) return;
  owned->dictionary = new ArrowArray;
  fill_array(owned->dictionary, column.dictionary_length, 0,
             {nullptr, column.dictionary_offsets, column.dictionary_data});
  out->dictionary = owned->dictionary;
}

// The state behind an exported stream. get_schema and get_next run on the
// consumer's thread, one call at a time, as the interface requires.
struct StreamPrivate {
  std::shared_ptr<const Table> table;
  std::size_t next = 0;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  const auto* state = static_cast<const StreamPrivate*>(stream->private_data);
  export_schema(*state->table, out);
  return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* state = static_cast<StreamPrivate*>(stream->private_data);
  if (state->next == state->table->batches().size()) {
    *out = ArrowArray{};
    return 0;
  }
  export_batch(*state->table, state->next++, out);
  return 0;
}

const char* stream_get_last_error(ArrowArrayStream*) { return nullptr; }

void release_stream(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete static_cast<StreamPrivate*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

Result<std::shared_ptr<const Table>> Table::make(
    std::vector<Field> fields, std::vector<RecordBatch> batches) {
  for (std::size_t b = 0; b < batches.size(); ++b) {
    const RecordBatch& batch = batches[b];
    if (batch.length < 0) {
      return Error("batch " + std::to_string(b) + " has a negative length",
                   ErrorKind::kInvalidArgument);
    }
    if (batch.columns.size() != fields.size()) {
      return Error("batch " + std::to_string(b) + " has " +
                       std::to_string(batch.columns.size()) +
                       " columns, but the table has " +
                       std::to_string(fields.size()) + " fields",
                   ErrorKind::kInvalidArgument);
    }
    for (std::size_t k = 0; k < fields.size(); ++k) {
      Status checked =
          check_column(fields[k], b, batch.length, batch.columns[k]);
      if (!checked.ok()) return std::move(checked).error();
    }
  }
  return std::shared_ptr<const Table>(
      new Table(std::move(fields), std::move(batches)));
}

std::int64_t Table::rows() const {
  std::int64_t total = 0;
  for (const RecordBatch& batch : batches_) total += batch.length;
  return total;
}

void export_schema(const Table& table, ArrowSchema* out) {
  fill_schema(out, "+s", "", 0);
  auto* owned = static_cast<SchemaPrivate*>(out->private_data);
  owned->children.reserve(table.fields().size());
  for (const Field& field : table.fields()) {
    owned->children.push_back(new ArrowSchema);
    export_field(field, owned->children.back());
  }
  out->n_children = static_cast<std::int64_t>(owned->children.size());
  out->children = owned->children.data();
}

void export_batch(const Table& table, std::size_t index, ArrowArray* out) {
  const RecordBatch& batch = table.batches()[index];
  // A struct array's own validity buffer is absent: rows are never null as
  // a whole, only column by column.
  ArrayPrivate* owned = fill_array(out, batch.length, 0, {nullptr});
  owned->children.reserve(batch.columns.size());
  for (std::size_t k = 0; k < batch.columns.size(); ++k) {
    owned->children.push_back(new ArrowArray);
    export_column(table.fields()[k], batch.length, batch.columns[k],
                  owned->children.back());
  }
  out->n_children = static_cast<std::int64_t>(owned->children.size());
  out->children = owned->children.data();
}

void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out) {
  *out = ArrowArrayStream{};
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = release_stream;
  out->private_data = new StreamPrivate{std::move(table)};
}

}  // namespace quorvel::arrow

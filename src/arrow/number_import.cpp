#include "arrow/number_import.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace quorvel::arrow {

namespace {

struct FormatEntry {
  std::string_view format;
  NumberFormat number;
  std::size_t width;
};

constexpr FormatEntry kFormats[] = {
    {"g", NumberFormat::kFloat64, 8}, {"f", NumberFormat::kFloat32, 4},
    {"c", NumberFormat::kInt8, 1},    {"s", NumberFormat::kInt16, 2},
    {"i", NumberFormat::kInt32, 4},   {"l", NumberFormat::kInt64, 8},
    {"C", NumberFormat::kUInt8, 1},   {"S", NumberFormat::kUInt16, 2},
    {"I", NumberFormat::kUInt32, 4},  {"L", NumberFormat::kUInt64, 8},
};

// Readable names for the formats a user is likely to pass by mistake; the
// format string itself is always shown too.
std::string_view format_name(std::string_view format) {
  if (format == "u" || format == "U" || format == "vu") return "string";
  if (format == "e") return "float16";
  if (format == "b") return "boolean";
  if (format == "n") return "null";
  if (format.starts_with("d:")) return "decimal";
  if (format.starts_with("ts")) return "timestamp";
  if (format.starts_with("td")) return "date";
  if (format.starts_with("+")) return "nested";
  return "";
}

Error format_error(std::string_view format, std::string_view what) {
  std::string message =
      "an Arrow column of format \"" + std::string(format) + "\"";
  const std::string_view name = format_name(format);
  if (!name.empty()) message += " (" + std::string(name) + ")";
  message += " ";
  message += what;
  message += ": expected float64, float32 or integers";
  return Error(std::move(message), ErrorKind::kInvalidArgument);
}

Error layout_error(const std::string& what) {
  return Error("malformed Arrow array: " + what);
}

const FormatEntry* find_format(std::string_view format) {
  for (const FormatEntry& entry : kFormats) {
    if (entry.format == format) return &entry;
  }
  return nullptr;
}

}  // namespace

Result<NumberFormat> number_format(std::string_view format) {
  const FormatEntry* entry = find_format(format);
  if (entry == nullptr) return format_error(format, "is not a number column");
  return entry->number;
}

NumberView NumberView::slice(std::int64_t start, std::int64_t count) const {
  NumberView part = *this;
  part.column.data = static_cast<const std::uint8_t*>(column.data) +
                     start * column.stride_bytes;
  part.length = count;
  part.validity_offset = validity_offset + start;
  return part;
}

Result<NumberView> view_number_array(const ArrowSchema& schema,
                                     const ArrowArray& array) {
  const std::string_view format =
      schema.format == nullptr ? std::string_view() : schema.format;
  if (schema.dictionary != nullptr) {
    return format_error(format, "is dictionary-encoded");
  }
  const FormatEntry* entry = find_format(format);
  if (entry == nullptr) return format_error(format, "is not a number column");
  if (array.release == nullptr) return layout_error("it was released");
  if (array.length < 0 || array.offset < 0) {
    return layout_error("negative length or offset");
  }
  if (array.n_buffers != 2 || array.buffers == nullptr) {
    return layout_error(std::to_string(array.n_buffers) +
                        " buffers for a number column, not 2");
  }
  if (array.n_children != 0 || array.dictionary != nullptr) {
    return layout_error("children or a dictionary on a number column");
  }
  // The last element's byte must be addressable without overflow.
  const std::int64_t limit = std::numeric_limits<std::int64_t>::max() /
                             static_cast<std::int64_t>(entry->width);
  if (array.length > limit - array.offset) {
    return layout_error("length and offset too large");
  }
  const auto* data = static_cast<const std::uint8_t*>(array.buffers[1]);
  if (data == nullptr && array.length > 0) {
    return layout_error("no data buffer");
  }
  const auto* validity = static_cast<const std::uint8_t*>(array.buffers[0]);
  if (validity == nullptr && array.null_count > 0) {
    return layout_error("nulls without a validity bitmap");
  }

  NumberView view;
  view.column.data =
      data == nullptr
          ? nullptr
          : data + array.offset * static_cast<std::int64_t>(entry->width);
  view.column.stride_bytes = static_cast<std::ptrdiff_t>(entry->width);
  view.column.format = entry->number;
  view.length = array.length;
  // A declared null count of 0 lets the bitmap go unread; -1 means the
  // producer did not count, so the bitmap decides.
  if (array.null_count != 0) {
    view.validity = validity;
    view.validity_offset = array.offset;
  }
  return view;
}

void clear_null_rows(const NumberView& view, std::span<std::uint32_t> items,
                     std::span<double> squared_chords) {
  if (view.validity == nullptr) return;
  for (std::int64_t i = 0; i < view.length; ++i) {
    if (!view.is_null(i)) continue;
    items[static_cast<std::size_t>(i)] = kNoRecord;
    if (!squared_chords.empty()) {
      squared_chords[static_cast<std::size_t>(i)] =
          std::numeric_limits<double>::quiet_NaN();
    }
  }
}

Status NumberChunks::add(const ArrowSchema& schema, OwnedArray array) {
  Result<NumberView> view = view_number_array(schema, array.get());
  if (!view.ok()) return std::move(view).error();
  if (view.value().length == 0) return Status::Ok();
  length_ += view.value().length;
  views_.push_back(view.value());
  arrays_.push_back(std::move(array));
  return Status::Ok();
}

Result<NumberChunks> NumberChunks::from_array(OwnedSchema schema,
                                              OwnedArray array) {
  if (schema.released()) return layout_error("the schema was released");
  NumberChunks chunks;
  chunks.format_ = schema->format == nullptr ? "" : schema->format;
  Status added = chunks.add(schema.get(), std::move(array));
  if (!added.ok()) return std::move(added).error();
  return chunks;
}

namespace {

Error stream_error(ArrowArrayStream& stream, int code, const char* step) {
  const char* text = stream.get_last_error == nullptr
                         ? nullptr
                         : stream.get_last_error(&stream);
  std::string message =
      std::string("reading an Arrow stream failed (") + step + "): ";
  message += text != nullptr ? text : std::strerror(code);
  return Error(std::move(message));
}

}  // namespace

Result<NumberChunks> NumberChunks::from_stream(OwnedStream stream) {
  if (stream.released()) return layout_error("the stream was released");
  OwnedSchema schema;
  int code = stream->get_schema(&stream.get(), schema.out());
  if (code != 0) return stream_error(stream.get(), code, "schema");
  if (schema.released()) return layout_error("the stream gave no schema");
  NumberChunks chunks;
  chunks.format_ = schema->format == nullptr ? "" : schema->format;
  // Refuse a wrong type before pulling data the producer may compute lazily.
  if (schema->dictionary != nullptr) {
    return format_error(chunks.format_, "is dictionary-encoded");
  }
  if (find_format(chunks.format_) == nullptr) {
    return format_error(chunks.format_, "is not a number column");
  }
  while (true) {
    OwnedArray array;
    code = stream->get_next(&stream.get(), array.out());
    if (code != 0) return stream_error(stream.get(), code, "next chunk");
    if (array.released()) break;
    Status added = chunks.add(schema.get(), std::move(array));
    if (!added.ok()) return std::move(added).error();
  }
  return chunks;
}

NumberChunks NumberChunks::of_column(const NumberColumn& column,
                                     std::int64_t length) {
  NumberChunks chunks;
  if (length > 0) {
    NumberView view;
    view.column = column;
    view.length = length;
    chunks.views_.push_back(view);
    chunks.length_ = length;
  }
  return chunks;
}

Result<std::vector<PositionSegment>> align_chunks(const NumberChunks& lats,
                                                  const NumberChunks& lons) {
  if (lats.length() != lons.length()) {
    return Error("lats and lons differ in length (" +
                     std::to_string(lats.length()) + " and " +
                     std::to_string(lons.length()) + ")",
                 ErrorKind::kInvalidArgument);
  }
  std::vector<PositionSegment> segments;
  const std::vector<NumberView>& a = lats.views();
  const std::vector<NumberView>& b = lons.views();
  std::size_t ia = 0, ib = 0;
  std::int64_t used_a = 0, used_b = 0, row = 0;
  while (ia < a.size() && ib < b.size()) {
    const std::int64_t count =
        std::min(a[ia].length - used_a, b[ib].length - used_b);
    segments.push_back(PositionSegment{row, a[ia].slice(used_a, count),
                                       b[ib].slice(used_b, count)});
    row += count;
    used_a += count;
    used_b += count;
    if (used_a == a[ia].length) ++ia, used_a = 0;
    if (used_b == b[ib].length) ++ib, used_b = 0;
  }
  return segments;
}

}  // namespace quorvel::arrow

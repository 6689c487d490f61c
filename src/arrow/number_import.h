// Reading columns of numbers that another library exports through the Arrow
// C data interface, in place: a view over the producer's buffers, which stay
// owned by the arrays held here.
//
// Accepted formats: float64 "g", float32 "f", signed integers "c" "s" "i"
// "l" and unsigned integers "C" "S" "I" "L". Anything else, a dictionary
// encoding of these included, is refused with an error naming the format.
// A null is a missing position; the value under it is never looked at by
// clear_null_rows(), whatever the producer left there.
//
// A column may come in several chunks (a stream, or a chunked array);
// NumberChunks keeps every chunk alive and align_chunks() cuts two such
// columns into segments where neither changes chunk, so that each segment is
// one pair of plain NumberColumns for the batch search.
//
// Thread safety: building and destroying belong to one thread; once built,
// views may be read from any thread while their NumberChunks lives.

#ifndef QUORVEL_ARROW_NUMBER_IMPORT_H_
#define QUORVEL_ARROW_NUMBER_IMPORT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/c_abi.h"
#include "arrow/owned.h"
#include "base/error.h"
#include "geocoder/batch_search.h"

namespace quorvel::arrow {

// The element type of an Arrow format string, or a kInvalidArgument error
// naming the format and the types accepted.
Result<NumberFormat> number_format(std::string_view format);

// A numeric Arrow array read in place.
struct NumberView {
  // Element i of the view is column.data + i * column.stride_bytes, the
  // array's offset already applied.
  NumberColumn column;
  std::int64_t length = 0;
  // Bit validity_offset + i of `validity` is set when element i is valid;
  // null when no element is null.
  const std::uint8_t* validity = nullptr;
  std::int64_t validity_offset = 0;

  bool is_null(std::int64_t i) const {
    if (validity == nullptr) return false;
    const std::int64_t bit = validity_offset + i;
    return ((validity[bit >> 3] >> (bit & 7)) & 1) == 0;
  }

  // Elements [start, start + count) as a view of their own.
  // REQUIRES: 0 <= start, 0 <= count, start + count <= length.
  NumberView slice(std::int64_t start, std::int64_t count) const;
};

// A view over `array` whose type `schema` describes. Fails with
// kInvalidArgument for a type other than the accepted ones (a dictionary
// included): the caller passed the wrong column. Fails with a runtime error,
// the producer's fault, for a released array and one whose layout is
// inconsistent (negative length or offset, wrong buffer or child count, a
// missing data buffer, nulls declared without a bitmap, a size past the
// address space).
// REQUIRES: both outlive the view.
Result<NumberView> view_number_array(const ArrowSchema& schema,
                                     const ArrowArray& array);

// For every null element i of `view`: items[i] = kNoRecord and, when given,
// squared_chords[i] = NaN, as the batch search marks a missing position.
// REQUIRES: items (and squared_chords, unless empty) as long as the view.
void clear_null_rows(const NumberView& view, std::span<std::uint32_t> items,
                     std::span<double> squared_chords);

// A whole column in chunks, owning the arrays its views read.
class NumberChunks {
 public:
  NumberChunks() = default;
  NumberChunks(NumberChunks&&) = default;
  NumberChunks& operator=(NumberChunks&&) = default;

  // One array (what __arrow_c_array__ hands over). Fails as
  // view_number_array does; the structs are released either way.
  static Result<NumberChunks> from_array(OwnedSchema schema, OwnedArray array);

  // Every chunk of `stream`, read to its end (empty chunks are dropped). The
  // stream is released when this returns; the chunks live on. Fails as
  // view_number_array does, and with the stream's own error text when one
  // of its callbacks fails.
  static Result<NumberChunks> from_stream(OwnedStream stream);

  // A column in memory the caller keeps alive, as one chunk without nulls,
  // so that an Arrow column can be paired with a column of another kind.
  static NumberChunks of_column(const NumberColumn& column,
                                std::int64_t length);

  const std::vector<NumberView>& views() const { return views_; }
  std::int64_t length() const { return length_; }
  // The producer's format string (empty for of_column).
  const std::string& format() const { return format_; }

 private:
  Status add(const ArrowSchema& schema, OwnedArray array);

  std::string format_;
  std::vector<OwnedArray> arrays_;
  std::vector<NumberView> views_;
  std::int64_t length_ = 0;
};

// A stretch of rows where two chunked columns each stay inside one chunk.
struct PositionSegment {
  std::int64_t start = 0;  // Row of the whole column where it begins.
  NumberView lats;
  NumberView lons;
};

// The segments covering both columns, in order. Fails with kInvalidArgument
// when the columns differ in length.
Result<std::vector<PositionSegment>> align_chunks(const NumberChunks& lats,
                                                  const NumberChunks& lons);

}  // namespace quorvel::arrow

#endif  // QUORVEL_ARROW_NUMBER_IMPORT_H_

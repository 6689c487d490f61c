// Lines of a text, by the one line-ending rule that construction, the header
// read of read_csv and the re-encoded text all follow: a line ends at a line
// feed, which is removed and, only then, one carriage return just before it;
// a final piece without a line feed is a line too and keeps any trailing
// carriage return. Anything else about carriage returns (one that ends a
// record inside a line, leading ones) is the line codec's business.
//
// Also the separator type: a delimiter checked to be one ASCII byte once,
// where it comes in, so that the code that splits with it needs no check.
//
// Thread safety: no shared state; a LineSplitter belongs to one thread.

#ifndef QUORVEL_CSV_LINES_H_
#define QUORVEL_CSV_LINES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvel::csv {

// A field delimiter that is one ASCII byte, made only by from().
class AsciiSeparator {
 public:
  // The separator `c`, or nothing when `c` is not ASCII.
  static std::optional<AsciiSeparator> from(char32_t c) {
    if (c >= 128) return std::nullopt;
    return AsciiSeparator(static_cast<std::uint8_t>(c));
  }

  // The separator's byte, below 128.
  std::uint8_t byte() const { return byte_; }

 private:
  explicit AsciiSeparator(std::uint8_t byte) : byte_(byte) {}

  std::uint8_t byte_;
};

// Where one line lies in a text: its start and its length without the line
// ending.
struct Line {
  std::size_t start;
  std::size_t len;
};

// Cuts a text into lines by the rule above.
class LineSplitter {
 public:
  // Starts at byte `from` of `text`, which must outlive the splitter.
  explicit LineSplitter(std::string_view text, std::size_t from = 0)
      : text_(text), pos_(from) {}

  // The next line into `line`; false when the text is exhausted.
  bool next(Line& line);

  // Where the next line starts.
  std::size_t position() const { return pos_; }

 private:
  std::string_view text_;
  std::size_t pos_;
};

// The first line of `text` (empty for an empty text), without its ending.
std::string_view first_line(std::string_view text);

// Number of lines that LineSplitter yields from `text`.
std::size_t count_lines(std::string_view text);

}  // namespace quorvel::csv

#endif  // QUORVEL_CSV_LINES_H_

#include "csv/lines.h"

#include <cstring>

namespace quorvel::csv {
namespace {

// Number of line feeds in `text`, eight bytes at a time: this pass touches
// the whole input before any parsing, so it has to be cheap.
std::size_t count_line_feeds(std::string_view text) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  constexpr std::uint64_t kFeeds = 0x0A0A0A0A0A0A0A0AULL;
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t count = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    const std::uint64_t x = word ^ kFeeds;  // Zero bytes mark line feeds.
    // The top bit of each byte ends up set exactly when the byte is zero.
    const std::uint64_t zero = ~(((x & kLow7) + kLow7) | x | kLow7);
    // One bit per byte at most, at bit 7 of each: a multiply sums them into
    // the top byte. (std::popcount is a library call on baseline x86-64.)
    count +=
        static_cast<std::size_t>(((zero >> 7) * 0x0101010101010101ULL) >> 56);
  }
  for (; i < n; ++i) count += p[i] == '\n';
  return count;
}

}  // namespace

bool LineSplitter::next(Line& line) {
  if (pos_ >= text_.size()) return false;
  const char* base = text_.data();
  const void* lf = std::memchr(base + pos_, '\n', text_.size() - pos_);
  line.start = pos_;
  if (lf == nullptr) {
    line.len = text_.size() - pos_;
    pos_ = text_.size();
    return true;
  }
  std::size_t end = static_cast<const char*>(lf) - base;
  pos_ = end + 1;
  if (end > line.start && base[end - 1] == '\r') --end;
  line.len = end - line.start;
  return true;
}

std::string_view first_line(std::string_view text) {
  LineSplitter split(text);
  Line line{0, 0};
  split.next(line);
  return text.substr(line.start, line.len);
}

std::size_t count_lines(std::string_view text) {
  if (text.empty()) return 0;
  return count_line_feeds(text) + (text.back() == '\n' ? 0 : 1);
}

}  // namespace quorvel::csv

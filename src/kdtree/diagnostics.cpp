#include "kdtree/diagnostics.h"

#include <charconv>
#include <memory>
#include <mutex>
#include <utility>

namespace quorvel::kdtree {
namespace {

// The sink lives behind a mutex-guarded shared pointer so that an event
// already holding it finishes safely while another thread replaces it.
std::mutex& sink_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const DiagnosticSink>& current_sink() {
  static std::shared_ptr<const DiagnosticSink> sink;
  return sink;
}

}  // namespace

void set_diagnostic_sink(DiagnosticSink sink, DiagnosticLevel min_level) {
  std::lock_guard<std::mutex> lock(sink_mutex());
  if (sink) {
    current_sink() = std::make_shared<const DiagnosticSink>(std::move(sink));
    internal::diagnostic_threshold.store(static_cast<int>(min_level),
                                         std::memory_order_relaxed);
  } else {
    internal::diagnostic_threshold.store(
        static_cast<int>(DiagnosticLevel::kError) + 1,
        std::memory_order_relaxed);
    current_sink().reset();
  }
}

void internal::deliver(const DiagnosticEvent& event) {
  std::shared_ptr<const DiagnosticSink> sink;
  {
    std::lock_guard<std::mutex> lock(sink_mutex());
    sink = current_sink();
  }
  if (sink) (*sink)(event);
}

std::string to_string(const DiagnosticEvent& event) {
  std::string text(event.message);
  for (const DiagnosticField& field : event.fields) {
    text += ' ';
    text += field.name;
    text += '=';
    char buffer[32];
    std::to_chars_result end;
    if (const auto* count = std::get_if<std::uint64_t>(&field.value)) {
      end = std::to_chars(buffer, buffer + sizeof buffer, *count);
    } else {
      end = std::to_chars(buffer, buffer + sizeof buffer,
                          std::get<double>(field.value));
    }
    text.append(buffer, end.ptr);
  }
  return text;
}

}  // namespace quorvel::kdtree

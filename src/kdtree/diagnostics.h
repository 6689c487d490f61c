// Diagnostic events of the tree build, offered to one process-wide sink.
//
// An event is a level, a fixed message and a few named fields (unsigned
// counts or coordinates). The tree never prints: it hands events to whatever
// sink the embedding program installs, and none is installed by default.
// With no sink, or with a sink whose minimum level is above the event's,
// `diagnostic_enabled` is one relaxed atomic load and a compare, and callers
// test it before building any field or formatting any text.
//
// The planning span "opt" is reported as a pair of trace events with the
// message "opt" and the field `idx`: one of kind kSpanEnter when planning of a
// stem starts and one of kind kSpanExit when it ends, so a sink can rebuild the
// nesting.
//
// Thread safety: installing, replacing and removing the sink may race with
// events from other threads; an event is delivered either to the old sink or
// to the new one. The sink itself must tolerate calls from several threads if
// trees are built concurrently.

#ifndef QUORVEL_KDTREE_DIAGNOSTICS_H_
#define QUORVEL_KDTREE_DIAGNOSTICS_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace quorvel::kdtree {

// Severity, most verbose first.
enum class DiagnosticLevel : int { kTrace, kDebug, kInfo, kWarn, kError };

// Whether an event is a point in time or one end of a span.
enum class DiagnosticKind : std::uint8_t { kEvent, kSpanEnter, kSpanExit };

// One named value attached to an event.
struct DiagnosticField {
  std::string_view name;
  std::variant<std::uint64_t, double> value;
};

// A diagnostic event. The views are valid only during the sink call.
struct DiagnosticEvent {
  DiagnosticLevel level;
  DiagnosticKind kind;
  std::string_view message;
  std::span<const DiagnosticField> fields;
};

// Receives events; called on the thread that raised them.
using DiagnosticSink = std::function<void(const DiagnosticEvent&)>;

// Installs `sink` for every event at `min_level` or above, replacing any
// earlier sink. An empty `sink` removes it, which makes events free again.
void set_diagnostic_sink(DiagnosticSink sink,
                         DiagnosticLevel min_level = DiagnosticLevel::kTrace);

namespace internal {
// Lowest level delivered; above kError when no sink is installed.
inline std::atomic<int> diagnostic_threshold{
    static_cast<int>(DiagnosticLevel::kError) + 1};

void deliver(const DiagnosticEvent& event);
}  // namespace internal

// True when an event at `level` would reach a sink. Test it before preparing
// an event's fields or text.
inline bool diagnostic_enabled(DiagnosticLevel level) {
  return static_cast<int>(level) >=
         internal::diagnostic_threshold.load(std::memory_order_relaxed);
}

// Offers an event to the sink if one is installed for `level`.
inline void emit_diagnostic(DiagnosticLevel level, std::string_view message,
                            std::initializer_list<DiagnosticField> fields = {},
                            DiagnosticKind kind = DiagnosticKind::kEvent) {
  if (!diagnostic_enabled(level)) return;
  internal::deliver(DiagnosticEvent{
      level, kind, message,
      std::span<const DiagnosticField>(fields.begin(), fields.size())});
}

// "message field=value ..." for logs and tests; coordinates in shortest
// round-trip form.
std::string to_string(const DiagnosticEvent& event);

}  // namespace quorvel::kdtree

#endif  // QUORVEL_KDTREE_DIAGNOSTICS_H_

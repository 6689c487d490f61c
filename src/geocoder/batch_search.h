// Batch lookups: the nearest record for many positions in one call, on one
// or several threads. Plain C++; the Python binding reads the inputs and
// builds the results.
//
// For every finite position the answer is exactly the record that
// ReverseGeocoder::get_nearest gives for it: the same conversion to a unit
// vector, the same tree search, the same tie-breaking. Positions are read
// from caller memory in any of the usual numeric element types, each value
// widened to double exactly as a scalar conversion would, so a batch of
// float32 or integer coordinates answers as their double values do.
//
// A position with a NaN or infinite latitude or longitude is not an error:
// it gets kNoRecord and a NaN distance.
//
// Thread safety: the functions only read the geocoder and the input columns
// and write the caller's output arrays; several batches may run on one
// geocoder at once. Worker threads live only inside one call.

#ifndef QUORVEL_GEOCODER_BATCH_SEARCH_H_
#define QUORVEL_GEOCODER_BATCH_SEARCH_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/error.h"
#include "base/interrupt.h"
#include "geocoder/geocoder.h"
#include "geocoder/sphere.h"

namespace quorvel {

// The record number given to a position that is not finite.
inline constexpr std::uint32_t kNoRecord = 0xFFFFFFFFu;

// The element type of an input column.
enum class NumberFormat : std::uint8_t {
  kFloat64,
  kFloat32,
  kInt8,
  kInt16,
  kInt32,
  kInt64,
  kUInt8,
  kUInt16,
  kUInt32,
  kUInt64,
};

// A column of numbers in caller memory: element i lies at
// data + i * stride_bytes (strides may be negative or zero) and has native
// byte order. The memory must stay readable for the length of the call.
struct NumberColumn {
  const void* data = nullptr;
  std::ptrdiff_t stride_bytes = sizeof(double);
  NumberFormat format = NumberFormat::kFloat64;

  // A column over contiguous doubles.
  static NumberColumn of(std::span<const double> values) {
    return {values.data(), sizeof(double), NumberFormat::kFloat64};
  }
};

// Element `i` of `column`, widened to double.
double column_value(const NumberColumn& column, std::size_t i);

// How many threads a batch of `count` positions uses for `workers`: one for
// small batches, otherwise at most `workers`, with every thread getting a
// share of at least a few thousand positions, since a thread costs tens of
// microseconds to start. REQUIRES: workers >= 1.
unsigned batch_threads(std::size_t count, unsigned workers);

// The number of CPUs this process may run on (at least 1).
unsigned available_cpus();

// For positions (lats[i], lons[i]), i < items.size(): items[i] becomes the
// record number of the nearest record (kNoRecord for a non-finite position)
// and, when `squared_chords` is not empty, squared_chords[i] its squared
// chord distance on the unit sphere (NaN for a non-finite position).
// `workers` threads at most share the work (see batch_threads).
// Fails with the lookups' runtime error when the geocoder has no records and
// the batch is not empty, or when its index is corrupt, and with
// interrupted() when `stop_check` (asked only on the calling thread, between
// blocks of positions) stops it; the outputs are then unspecified.
// Each thread keeps its working memory on the heap, so the calling thread
// may have a small stack.
// REQUIRES: squared_chords is empty or as long as items; workers >= 1.
Status nearest_records(const ReverseGeocoder& geocoder,
                       const NumberColumn& lats, const NumberColumn& lons,
                       std::span<std::uint32_t> items,
                       std::span<double> squared_chords, unsigned workers,
                       StopCheck& stop_check = never_stop());

}  // namespace quorvel

#endif  // QUORVEL_GEOCODER_BATCH_SEARCH_H_

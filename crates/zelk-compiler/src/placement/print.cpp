// Printed forms of the placement records.
#include <ostream>

#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/placement.hpp"

namespace zelk_compiler {

std::ostream& operator<<(std::ostream& out, const Buffer& buffer) {
  RecordWriter(out, "Buffer")
      .field("lower", buffer.lower)
      .field("upper", buffer.upper)
      .field("size", buffer.size)
      .field("alignment", buffer.alignment);
  return out;
}

std::ostream& operator<<(std::ostream& out, PlacementStrategy strategy) {
  switch (strategy) {
    case PlacementStrategy::FirstFit:
      return out << "FirstFit";
    case PlacementStrategy::Best:
      return out << "Best";
  }
  return out;
}

namespace {

// A steady-clock instant has no calendar meaning: it prints as the time since
// the clock's epoch.
struct SinceEpoch {
  std::chrono::steady_clock::time_point instant;
  friend std::ostream& operator<<(std::ostream& out, SinceEpoch since) {
    return out << since.instant.time_since_epoch().count() << " ns";
  }
};

}  // namespace

std::ostream& operator<<(std::ostream& out, const PlacementOptions& options) {
  std::optional<SinceEpoch> deadline;
  if (options.deadline) {
    deadline = SinceEpoch{*options.deadline};
  }
  RecordWriter(out, "PlacementOptions")
      .field("strategy", options.strategy)
      .field("capacity", options.capacity)
      .field("search_steps", options.search_steps)
      .field("deadline", deadline);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Placement& placement) {
  RecordWriter(out, "Placement")
      .field("offsets", placement.offsets)
      .field("peak", placement.peak)
      .field("lower_bound", placement.lower_bound)
      .field("fits", placement.fits)
      .field("optimal", placement.optimal)
      .field("method", placement.method);
  return out;
}

}  // namespace zelk_compiler

// Printed forms of the placement records.
#include <ostream>

#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/placement.hpp"

namespace zelk_compiler {

std::ostream& operator<<(std::ostream& out, const Buffer& buffer) {
  return write_record(out, buffer);
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

std::ostream& operator<<(std::ostream& out, const PlacementOptions& options) {
  return write_record(out, options);
}

std::ostream& operator<<(std::ostream& out, const Placement& placement) {
  return write_record(out, placement);
}

}  // namespace zelk_compiler

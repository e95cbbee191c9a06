// Printed forms of the compiler's records.
#include <ostream>
#include <variant>

#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/debug.hpp"

namespace zelk_compiler {

std::ostream& operator<<(std::ostream& out, const CompilerOptions& options) {
  return write_record(out, options);
}

std::ostream& operator<<(std::ostream& out, OptionsFault fault) {
  switch (fault) {
    case OptionsFault::NoTiles:
      return out << "NoTiles";
    case OptionsFault::EmptyDataWindow:
      return out << "EmptyDataWindow";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, Sharding sharding) {
  switch (sharding) {
    case Sharding::Replicated:
      return out << "Replicated";
    case Sharding::Rows:
      return out << "Rows";
    case Sharding::Columns:
      return out << "Columns";
    case Sharding::Heads:
      return out << "Heads";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const Layout& layout) {
  return write_record(out, layout);
}

std::ostream& operator<<(std::ostream& out, const Transfer& transfer) {
  return write_record(out, transfer);
}

std::ostream& operator<<(std::ostream& out, const SpecializationKey& key) {
  return write_record(out, key);
}

std::ostream& operator<<(std::ostream& out, const KernelCommand& command) {
  return write_record(out, command);
}

std::ostream& operator<<(std::ostream& out, const Exchange& phase) {
  return write_record(out, phase);
}

std::ostream& operator<<(std::ostream& out, const Compute& phase) {
  return write_record(out, phase);
}

std::ostream& operator<<(std::ostream& out, const Phase& phase) {
  std::visit([&out](const auto& variant) { out << variant; }, phase);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Allocation& allocation) {
  return write_record(out, allocation);
}

std::ostream& operator<<(std::ostream& out, const PlanningOptions& planning) {
  return write_record(out, planning);
}

std::ostream& operator<<(std::ostream& out, const Schedule& schedule) {
  return write_record(out, schedule);
}

}  // namespace zelk_compiler

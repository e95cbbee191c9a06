// Printed forms of the compiler's records.
#include <ostream>
#include <variant>

#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/debug.hpp"

namespace zelk_compiler {

std::ostream& operator<<(std::ostream& out, const CompilerOptions& options) {
  RecordWriter(out, "CompilerOptions")
      .field("tile_count", options.tile_count)
      .field("data_base", options.data_base)
      .field("data_limit", options.data_limit);
  return out;
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
  RecordWriter(out, "Layout")
      .field("tensor", layout.tensor)
      .field("tiles", layout.tiles)
      .field("sharding", layout.sharding)
      .field("alignment", layout.alignment);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Transfer& transfer) {
  RecordWriter(out, "Transfer")
      .field("source_tile", transfer.source_tile)
      .field("destination_tile", transfer.destination_tile)
      .field("tensor", transfer.tensor)
      .field("bytes", transfer.bytes);
  return out;
}

std::ostream& operator<<(std::ostream& out, const SpecializationKey& key) {
  RecordWriter(out, "SpecializationKey")
      .field("operation", key.operation)
      .field("shape", key.shape)
      .field("worker_count", key.worker_count)
      .field("role", key.role)
      .field("alignment", key.alignment);
  return out;
}

std::ostream& operator<<(std::ostream& out, const KernelCommand& command) {
  RecordWriter(out, "KernelCommand")
      .field("tile", command.tile)
      .field("output", command.output)
      .field("inputs", command.inputs)
      .field("specialization", command.specialization);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Exchange& phase) {
  RecordWriter(out, "Exchange").field("transfers", phase.transfers);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Compute& phase) {
  RecordWriter(out, "Compute").field("op", phase.op).field("commands", phase.commands);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Phase& phase) {
  std::visit([&out](const auto& variant) { out << variant; }, phase);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Allocation& allocation) {
  RecordWriter(out, "Allocation")
      .field("tensor", allocation.tensor)
      .field("tile", allocation.tile)
      .field("address", allocation.address)
      .field("size", allocation.size)
      .field("live_from", allocation.live_from)
      .field("live_until", allocation.live_until);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Schedule& schedule) {
  RecordWriter(out, "Schedule")
      .field("layouts", schedule.layouts)
      .field("phases", schedule.phases)
      .field("allocations", schedule.allocations)
      .field("tile_count", schedule.tile_count)
      .field("peak_sram", schedule.peak_sram);
  return out;
}

}  // namespace zelk_compiler

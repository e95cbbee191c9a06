// The literal memory planner (see the header).
#include "support/literal_planner.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "zelk_compiler/checked.hpp"

namespace zelk_compiler::test_support {
namespace {

CompileError data_limit(std::uint16_t tile, const std::string& name) {
  return CompileError::memory("tile " + std::to_string(tile) + " exceeds data limit allocating " +
                              name);
}

}  // namespace

Result<std::vector<Allocation>> plan_memory_literal(const Graph& graph,
                                                    std::span<const Layout> layouts,
                                                    std::span<const Phase> phases,
                                                    const CompilerOptions& options) {
  // Steps 1 to 3: lifetimes in one pass over the phases.
  std::vector<std::uint64_t> produced(graph.tensors.size(), 0);
  std::vector<std::uint64_t> consumed(graph.tensors.size(), 0);
  std::vector<bool> read(graph.tensors.size(), false);
  for (std::uint64_t phase_index = 0; phase_index < phases.size(); ++phase_index) {
    if (const auto* compute = std::get_if<Compute>(&phases[phase_index])) {
      const Op& operation = graph.ops.at(compute->op.index);
      produced.at(operation.output.index) = phase_index;
      for (const TensorId input : operation.inputs) {
        consumed.at(input.index) = std::max(consumed.at(input.index), phase_index);
        read.at(input.index) = true;
      }
    } else {
      for (const Transfer& transfer : std::get<Exchange>(phases[phase_index]).transfers) {
        consumed.at(transfer.tensor.index) =
            std::max(consumed.at(transfer.tensor.index), phase_index);
        read.at(transfer.tensor.index) = true;
      }
    }
  }
  // A tensor nothing reads lives in its producing phase only.
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    if (!read[i]) consumed[i] = produced[i];
  }
  for (const TensorId id : graph.outputs) consumed.at(id.index) = phases.size();

  // Steps 4 and 5: first fit, tensor by tensor, tile by tile.
  std::vector<Allocation> result;
  std::unordered_map<std::uint16_t, std::vector<Allocation>> by_tile;
  for (const Tensor& tensor : graph.tensors) {
    const Layout& layout = layouts[tensor.id.index];
    const auto n = checked_cast<std::uint32_t>(local_bytes(tensor, layout));
    if (!n) {
      return std::unexpected(data_limit(layout.tiles.front(), tensor.name));
    }
    const auto size = align_u32(*n, layout.alignment);
    if (!size) return std::unexpected(CompileError::memory("address overflow"));
    for (const std::uint16_t tile : layout.tiles) {
      std::vector<Allocation>& existing = by_tile[tile];
      std::uint32_t address = options.data_base;
      std::uint32_t end = 0;
      while (true) {
        const auto fitted_end = checked_add(address, *size);
        if (!fitted_end) return std::unexpected(CompileError::memory("address overflow"));
        end = *fitted_end;
        const Allocation* conflict = nullptr;
        for (const Allocation& other : existing) {
          if (lifetimes_overlap(produced[tensor.id.index], consumed[tensor.id.index],
                                other.live_from, other.live_until) &&
              address < other.address + other.size && other.address < end) {
            conflict = &other;
            break;
          }
        }
        if (conflict == nullptr) break;
        const auto next = align_u32(conflict->address + conflict->size, layout.alignment);
        if (!next) return std::unexpected(CompileError::memory("address overflow"));
        address = *next;
      }
      if (end > options.data_limit) return std::unexpected(data_limit(tile, tensor.name));
      const Allocation allocation{
          tensor.id, tile, address, *size, produced[tensor.id.index], consumed[tensor.id.index]};
      existing.push_back(allocation);
      result.push_back(allocation);
    }
  }
  return result;
}

}  // namespace zelk_compiler::test_support

// Tile memory planning: lifetimes from the phase list, then first-fit
// placement of every tensor's share on every tile of its layout.
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <variant>

#include "checked.hpp"
#include "compiler/errors.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler {
namespace {

struct Lifetime {
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;
};

// One pass over the phases: a tensor lives from the phase that produces it
// (0 for inputs and weights) to the last phase that reads it; graph outputs
// live past the last phase. A tensor nothing reads lives only in the phase
// that produces it, so its producer never writes into bytes that are live.
std::vector<Lifetime> lifetimes(const Graph& graph, std::span<const Phase> phases) {
  const std::size_t count = graph.tensors.size();
  std::vector<Lifetime> result(count);
  std::vector<bool> read(count, false);
  const auto tensor_index = [count](TensorId id) {
    if (id.index >= count) {
      throw std::out_of_range("plan_memory: tensor id out of range");
    }
    return id.index;
  };
  const auto consume = [&](TensorId id, std::uint64_t phase) {
    const std::uint64_t index = tensor_index(id);
    result[index].live_until = std::max(result[index].live_until, phase);
    read[index] = true;
  };

  for (std::uint64_t phase = 0; phase < phases.size(); ++phase) {
    if (const auto* compute = std::get_if<Compute>(&phases[phase])) {
      if (compute->op.index >= graph.ops.size()) {
        throw std::out_of_range("plan_memory: phase names no operation");
      }
      const Op& op = graph.ops[compute->op.index];
      result[tensor_index(op.output)].live_from = phase;
      for (const TensorId input : op.inputs) {
        consume(input, phase);
      }
    } else {
      for (const Transfer& transfer : std::get<Exchange>(phases[phase]).transfers) {
        consume(transfer.tensor, phase);
      }
    }
  }
  for (std::uint64_t index = 0; index < count; ++index) {
    if (!read[index]) {
      result[index].live_until = result[index].live_from;
    }
  }
  for (const TensorId output : graph.outputs) {
    result[tensor_index(output)].live_until = phases.size();
  }
  return result;
}

bool bytes_overlap(std::uint32_t address, std::uint32_t end, const Allocation& other) {
  return address < other.address + other.size && other.address < end;
}

}  // namespace

std::optional<std::uint32_t> align_u32(std::uint32_t value, std::uint32_t alignment) {
  if (alignment == 0) {
    throw std::invalid_argument("align_u32: alignment must be at least 1");
  }
  const std::uint32_t remainder = value % alignment;
  if (remainder == 0) {
    return value;
  }
  return detail::checked_add_u32(value, alignment - remainder);
}

Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases,
                                            const CompilerOptions& options) {
  if (layouts.size() < graph.tensors.size()) {
    throw std::invalid_argument("plan_memory: a layout is missing");
  }
  const std::vector<Lifetime> lives = lifetimes(graph, phases);

  std::vector<Allocation> result;
  std::unordered_map<std::uint16_t, std::vector<Allocation>> by_tile;
  for (const Tensor& tensor : graph.tensors) {
    const Layout& layout = layouts[tensor.id.index];
    const Lifetime life = lives[tensor.id.index];
    const std::uint64_t share = local_bytes(tensor, layout);
    if (share > std::numeric_limits<std::uint32_t>::max()) {
      return std::unexpected(detail::data_limit_error(layout.tiles.front(), tensor.name));
    }
    const auto size = align_u32(static_cast<std::uint32_t>(share), layout.alignment);
    if (!size) {
      return std::unexpected(detail::address_overflow_error());
    }

    for (const std::uint16_t tile : layout.tiles) {
      std::vector<Allocation>& existing = by_tile[tile];
      // The first candidate is the window's start itself, aligned or not;
      // every later one is a blocker's end rounded up to this tensor's
      // alignment.
      std::uint32_t address = options.data_base;
      std::uint32_t end = 0;
      for (;;) {
        const auto candidate_end = detail::checked_add_u32(address, *size);
        if (!candidate_end) {
          return std::unexpected(detail::address_overflow_error());
        }
        end = *candidate_end;
        const Allocation* conflict = nullptr;
        for (const Allocation& other : existing) {
          if (lifetimes_overlap(life.live_from, life.live_until, other.live_from,
                                other.live_until) &&
              bytes_overlap(address, end, other)) {
            conflict = &other;
            break;
          }
        }
        if (conflict == nullptr) {
          break;
        }
        const auto next = align_u32(conflict->address + conflict->size, layout.alignment);
        if (!next) {
          return std::unexpected(detail::address_overflow_error());
        }
        address = *next;
      }
      if (end > options.data_limit) {
        return std::unexpected(detail::data_limit_error(tile, tensor.name));
      }
      const Allocation allocation{.tensor = tensor.id,
                                  .tile = tile,
                                  .address = address,
                                  .size = *size,
                                  .live_from = life.live_from,
                                  .live_until = life.live_until};
      existing.push_back(allocation);
      result.push_back(allocation);
    }
  }
  return result;
}

}  // namespace zelk_compiler

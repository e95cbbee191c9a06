// Tile memory planning: lifetimes from the phase list, then first-fit
// placement of every tensor's share on every tile of its layout.
#include <algorithm>
#include <limits>
#include <stdexcept>
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

constexpr std::uint64_t kLargestEnd = std::numeric_limits<std::uint32_t>::max();

std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment) {
  const std::uint64_t remainder = value % alignment;
  return remainder == 0 ? value : value + (alignment - remainder);
}

// The buffers placed on one tile, sorted by address, answering first-fit
// queries in one sweep: only buffers whose lifetimes meet the new one's can
// block it, and since they are visited in address order the sweep never has
// to start over after a bump.
class TileMemory {
 public:
  // The lowest address at or above `base` that is `base` itself or a multiple
  // of `alignment` and where [address, address + size) meets no buffer live
  // during `life`. Computed without a 32-bit bound: the caller decides what
  // an address past 2^32 means.
  [[nodiscard]] std::uint64_t first_fit(std::uint64_t base, std::uint64_t size,
                                        std::uint32_t alignment, Lifetime life) const {
    std::uint64_t address = base;
    for (const Buffer& buffer : buffers_) {
      if (buffer.address >= address + size) {
        break;  // this and every later buffer start past the candidate
      }
      if (address < buffer.end &&
          lifetimes_overlap(life.live_from, life.live_until, buffer.life.live_from,
                            buffer.life.live_until)) {
        address = align_up(buffer.end, alignment);
      }
    }
    return address;
  }

  void insert(std::uint64_t address, std::uint64_t size, Lifetime life) {
    const auto position = std::ranges::upper_bound(buffers_, address, {}, &Buffer::address);
    buffers_.insert(position, Buffer{address, address + size, life});
  }

  // Drops the buffers that end before `horizon`, the earliest phase any
  // tensor still to be placed is live in: they can never block again. Runs
  // when the tile has doubled since the last sweep, so it costs O(1)
  // amortised per buffer.
  void forget_before(std::uint64_t horizon) {
    if (buffers_.size() < 2 * kept_after_sweep_ + 16) {
      return;
    }
    std::erase_if(buffers_, [horizon](const Buffer& b) { return b.life.live_until < horizon; });
    kept_after_sweep_ = buffers_.size();
  }

 private:
  struct Buffer {
    std::uint64_t address;
    std::uint64_t end;
    Lifetime life;
  };
  std::vector<Buffer> buffers_;
  std::size_t kept_after_sweep_ = 0;
};

// Placement of one tensor's share on one tile, or the error the first-fit
// search runs into there. With the lowest admissible address known, the
// errors follow: a search that would pass 2^32 - 1 somewhere overflows, and
// one that ends beyond the window exceeds the data limit.
Result<std::uint32_t> place(TileMemory& memory, const CompilerOptions& options, std::uint32_t size,
                            std::uint32_t alignment, Lifetime life, std::uint16_t tile,
                            const Tensor& tensor) {
  const std::uint64_t address = memory.first_fit(options.data_base, size, alignment, life);
  const std::uint64_t end = address + size;
  if (end > kLargestEnd) {
    return std::unexpected(detail::address_overflow_error());
  }
  if (end > options.data_limit) {
    return std::unexpected(detail::data_limit_error(tile, tensor.name));
  }
  memory.insert(address, size, life);
  return static_cast<std::uint32_t>(address);
}

// Per tensor: its share rounded to the layout's alignment, or the error of a
// share that can never fit a 32-bit window.
Result<std::uint32_t> aligned_share(const Tensor& tensor, const Layout& layout) {
  const std::uint64_t share = local_bytes(tensor, layout);
  if (share > kLargestEnd) {
    return std::unexpected(detail::data_limit_error(layout.tiles.front(), tensor.name));
  }
  const auto size = align_u32(static_cast<std::uint32_t>(share), layout.alignment);
  if (!size) {
    return std::unexpected(detail::address_overflow_error());
  }
  return *size;
}

// For each tensor position, the earliest live_from of it and every tensor
// after it: buffers dead before that phase can be forgotten.
std::vector<std::uint64_t> live_horizons(const std::vector<Lifetime>& lives) {
  std::vector<std::uint64_t> horizon(lives.size() + 1, std::numeric_limits<std::uint64_t>::max());
  for (std::size_t i = lives.size(); i > 0; --i) {
    horizon[i - 1] = std::min(horizon[i], lives[i - 1].live_from);
  }
  return horizon;
}

bool is_prefix(const Layout& layout) {
  for (std::size_t i = 0; i < layout.tiles.size(); ++i) {
    if (layout.tiles[i] != i) {
      return false;
    }
  }
  return !layout.tiles.empty();
}

void check_layouts(const Graph& graph, std::span<const Layout> layouts) {
  if (layouts.size() < graph.tensors.size()) {
    throw std::invalid_argument("plan_memory: a layout is missing");
  }
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    if (layouts[i].tiles.empty() || layouts[i].alignment == 0) {
      throw std::invalid_argument("plan_memory: layout without tiles or alignment");
    }
  }
}

struct Planner {
  const Graph& graph;
  std::span<const Layout> layouts;
  const CompilerOptions& options;
  std::vector<Lifetime> lives;
  std::vector<std::uint64_t> horizons;
  std::vector<Allocation> result;

  Allocation allocation(const Tensor& tensor, std::uint16_t tile, std::uint32_t address,
                        std::uint32_t size) const {
    const Lifetime life = lives[tensor.id.index];
    return Allocation{.tensor = tensor.id,
                      .tile = tile,
                      .address = address,
                      .size = size,
                      .live_from = life.live_from,
                      .live_until = life.live_until};
  }

  // Every layout is a prefix 0 .. k - 1 of the tiles, so the tiles between
  // two consecutive distinct k hold exactly the same tensors and get exactly
  // the same addresses: plan one tile per such group and copy its placement
  // to the whole group.
  Result<void> plan_prefix_layouts() {
    std::vector<std::uint64_t> ends;  // group g covers tiles [ends[g - 1], ends[g])
    for (const Tensor& tensor : graph.tensors) {
      ends.push_back(layouts[tensor.id.index].tiles.size());
    }
    std::ranges::sort(ends);
    const auto [first, last] = std::ranges::unique(ends);
    ends.erase(first, last);

    std::vector<TileMemory> groups(ends.size());
    for (const Tensor& tensor : graph.tensors) {
      const Layout& layout = layouts[tensor.id.index];
      const auto size = aligned_share(tensor, layout);
      if (!size) {
        return std::unexpected(size.error());
      }
      std::uint64_t tile = 0;
      for (std::size_t g = 0; tile < layout.tiles.size(); ++g) {
        TileMemory& memory = groups[g];
        memory.forget_before(horizons[tensor.id.index]);
        const auto group_first = static_cast<std::uint16_t>(tile);
        const auto address = place(memory, options, *size, layout.alignment, lives[tensor.id.index],
                                   group_first, tensor);
        if (!address) {
          return std::unexpected(address.error());
        }
        for (; tile < ends[g]; ++tile) {
          result.push_back(allocation(tensor, static_cast<std::uint16_t>(tile), *address, *size));
        }
      }
    }
    return {};
  }

  // Any other layouts: one memory per tile, served in layout order (a tile
  // listed twice sees its first share when placing the second).
  Result<void> plan_any_layouts() {
    std::uint16_t highest = 0;
    for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
      highest = std::max(highest, std::ranges::max(layouts[i].tiles));
    }
    std::vector<TileMemory> tiles(std::size_t{highest} + 1);
    for (const Tensor& tensor : graph.tensors) {
      const Layout& layout = layouts[tensor.id.index];
      const auto size = aligned_share(tensor, layout);
      if (!size) {
        return std::unexpected(size.error());
      }
      for (const std::uint16_t tile : layout.tiles) {
        TileMemory& memory = tiles[tile];
        memory.forget_before(horizons[tensor.id.index]);
        const auto address =
            place(memory, options, *size, layout.alignment, lives[tensor.id.index], tile, tensor);
        if (!address) {
          return std::unexpected(address.error());
        }
        result.push_back(allocation(tensor, tile, *address, *size));
      }
    }
    return {};
  }
};

}  // namespace

std::optional<std::uint32_t> align_u32(std::uint32_t value, std::uint32_t alignment) {
  if (alignment == 0) {
    throw std::invalid_argument("align_u32: alignment must be at least 1");
  }
  const std::uint32_t remainder = value % alignment;
  if (remainder == 0) {
    return value;
  }
  return detail::checked_add(value, alignment - remainder);
}

Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases,
                                            const CompilerOptions& options) {
  check_layouts(graph, layouts);
  Planner planner{.graph = graph,
                  .layouts = layouts,
                  .options = options,
                  .lives = lifetimes(graph, phases),
                  .horizons = {},
                  .result = {}};
  planner.horizons = live_horizons(planner.lives);

  std::uint64_t total = 0;
  bool prefixes = true;
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    total += layouts[i].tiles.size();
    prefixes = prefixes && is_prefix(layouts[i]);
  }
  planner.result.reserve(total);

  const Result<void> planned =
      prefixes ? planner.plan_prefix_layouts() : planner.plan_any_layouts();
  if (!planned) {
    return std::unexpected(planned.error());
  }
  return std::move(planner.result);
}

}  // namespace zelk_compiler

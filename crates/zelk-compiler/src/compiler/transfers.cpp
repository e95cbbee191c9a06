// Exchange transfers: the input shares an operation needs moved, and the
// consistency check of one exchange phase.
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "compiler/errors.hpp"
#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler {
namespace {

// A destination tile paired with a tensor: one tensor region of an epoch.
struct Region {
  std::uint16_t tile;
  TensorId tensor;
  friend bool operator==(const Region&, const Region&) = default;
};

struct RegionHash {
  std::size_t operator()(const Region& region) const noexcept {
    return std::hash<TensorId>{}(region.tensor) * 65537U + region.tile;
  }
};

}  // namespace

Result<std::vector<Transfer>> transfers_for(const Graph& graph, std::span<const Layout> layouts,
                                            const Op& op, const Layout& output) {
  std::vector<Transfer> transfers;
  // An operation that lists one input twice (x * x, concat(x, x)) needs its
  // shares moved once: a second send would target the same regions again.
  std::unordered_set<TensorId> sent;
  for (const TensorId input : op.inputs) {
    if (input.index >= graph.tensors.size() || input.index >= layouts.size()) {
      throw std::out_of_range("transfers_for: input has no tensor or layout");
    }
    if (!sent.insert(input).second) {
      continue;
    }
    const Layout& source = layouts[input.index];
    if (source.tiles == output.tiles && source.sharding == output.sharding) {
      continue;
    }
    const Tensor& tensor = graph.tensors[input.index];
    const std::optional<std::uint32_t> share =
        checked_cast<std::uint32_t>(local_bytes(tensor, source));
    if (!share) {
      return std::unexpected(detail::data_limit_error(source.tiles.front(), tensor.name));
    }
    for (std::size_t position = 0; position < output.tiles.size(); ++position) {
      const std::uint16_t destination = output.tiles[position];
      const std::uint16_t from = source.tiles[position % source.tiles.size()];
      if (from == destination) {
        continue;
      }
      transfers.push_back(Transfer{
          .source_tile = from, .destination_tile = destination, .tensor = input, .bytes = *share});
    }
  }
  return transfers;
}

Result<void> validate_transfers(std::span<const Transfer> transfers) {
  std::unordered_set<Region, RegionHash> targeted;
  targeted.reserve(transfers.size());
  for (const Transfer& transfer : transfers) {
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return std::unexpected(CompileError::graph("invalid exchange transfer"));
    }
    if (!targeted.insert(Region{transfer.destination_tile, transfer.tensor}).second) {
      return std::unexpected(
          CompileError::graph("multiple sends target one tensor region in an epoch"));
    }
  }
  return {};
}

}  // namespace zelk_compiler

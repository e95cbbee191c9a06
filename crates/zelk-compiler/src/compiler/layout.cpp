// Which options are valid, which tiles hold a share of a tensor, and how big a
// share is.
#include <algorithm>
#include <optional>
#include <stdexcept>

#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler {
namespace {

constexpr std::uint64_t kBytesPerTile = 1024;
constexpr std::uint32_t kLayoutAlignment = 16;
constexpr std::uint64_t kSixWorkerElements = 96;

std::uint64_t byte_size(const Tensor& tensor) {
  const auto bytes = checked_mul(tensor.elements(), size(tensor.dtype));
  if (!bytes) {
    throw std::overflow_error("tensor byte size does not fit 64 bits: " + tensor.name);
  }
  return *bytes;
}

Sharding sharding_for(const Tensor& tensor) {
  const std::size_t rank = tensor.shape.size();
  if (tensor.kind == TensorKind::Weight && rank == 2) {
    return Sharding::Columns;
  }
  if (rank >= 3) {
    return Sharding::Heads;
  }
  if (rank == 2) {
    return Sharding::Rows;
  }
  return Sharding::Replicated;
}

}  // namespace

std::optional<OptionsFault> options_fault(const CompilerOptions& options) {
  if (options.tile_count == 0) {
    return OptionsFault::NoTiles;
  }
  if (options.data_base >= options.data_limit) {
    return OptionsFault::EmptyDataWindow;
  }
  return std::nullopt;
}

Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count) {
  if (tile_count == 0) {
    throw std::invalid_argument("choose_layout: tile_count must be at least 1");
  }
  // One tile per started KiB, at least one, at most every tile of the target.
  const std::uint64_t bytes = byte_size(tensor);
  const std::uint64_t started_kib = bytes / kBytesPerTile + (bytes % kBytesPerTile != 0 ? 1 : 0);
  const auto useful = static_cast<std::uint16_t>(
      std::min<std::uint64_t>(std::max<std::uint64_t>(started_kib, 1), tile_count));

  Layout layout{.tensor = tensor.id,
                .tiles = {},
                .sharding = sharding_for(tensor),
                .alignment = kLayoutAlignment};
  layout.tiles.reserve(useful);
  for (std::uint16_t tile = 0; tile < useful; ++tile) {
    layout.tiles.push_back(tile);
  }
  return layout;
}

std::uint64_t local_bytes(const Tensor& tensor, const Layout& layout) {
  if (layout.tiles.empty()) {
    throw std::invalid_argument("local_bytes: layout has no tiles");
  }
  const std::uint64_t bytes = byte_size(tensor);
  const std::uint64_t tiles = layout.tiles.size();
  return bytes / tiles + (bytes % tiles != 0 ? 1 : 0);
}

std::uint8_t worker_count(const Tensor& tensor) {
  return tensor.elements() >= kSixWorkerElements ? 6 : 1;
}

}  // namespace zelk_compiler

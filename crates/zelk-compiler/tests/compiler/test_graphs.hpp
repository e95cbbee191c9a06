// Small graphs and records shared by the compiler tests.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/random_graphs.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler::test_support {

inline Tensor make_tensor(std::vector<std::uint64_t> shape, TensorKind kind = TensorKind::Input,
                          std::uint64_t id = 0) {
  return Tensor{.id = TensorId{id},
                .name = numbered("t", id),
                .dtype = DType::F32,
                .shape = std::move(shape),
                .kind = kind,
                .producer = {}};
}

inline Layout prefix_layout(std::uint64_t tensor, std::uint16_t tiles,
                            Sharding sharding = Sharding::Rows, std::uint32_t alignment = 16) {
  Layout layout{
      .tensor = TensorId{tensor}, .tiles = {}, .sharding = sharding, .alignment = alignment};
  for (std::uint16_t tile = 0; tile < tiles; ++tile) {
    layout.tiles.push_back(tile);
  }
  return layout;
}

}  // namespace zelk_compiler::test_support

// Generated graphs and options for property and differential tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler::test_support {

// `prefix` followed by `number` in decimal ("t3"). Built by appending: g++ 12
// warns falsely about a short literal plus std::to_string at -O3.
[[nodiscard]] inline std::string numbered(std::string_view prefix, std::uint64_t number) {
  std::string text(prefix);
  text += std::to_string(number);
  return text;
}

// A small deterministic generator (splitmix64), the same on every platform.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
  }
  // Uniform enough in [low, high], both inclusive.
  std::uint64_t between(std::uint64_t low, std::uint64_t high) {
    return low + next() % (high - low + 1);
  }
  bool chance(std::uint64_t percent) { return between(1, 100) <= percent; }

 private:
  std::uint64_t state_;
};

struct GraphShape {
  std::uint64_t max_ops = 24;
  std::uint64_t max_extent = 48;
  // Whether some raw operations get an output shape their kind's rule does
  // not give (which `compile` accepts and `evaluate` refuses).
  bool misfits = true;
  // The type of every source and weight. Other than F32, it also brings
  // sigmoids and casts to another type and back.
  DType dtype = DType::F32;
};

// A valid graph of inputs and weights of rank 1 to 3 and a random mix of
// every operation kind and builder (Mul and Reshape also through the raw
// builder steps, and with `misfits` a GELU with a wider result than its
// input), with one to three outputs; some results are never read.
[[nodiscard]] Graph random_graph(Random& random, const GraphShape& shape = {});

// Options with 1 to `max_tiles` tiles, a base that is sometimes unaligned and
// windows from tight (planning often fails) to roomy; occasionally at the very
// top of the 32-bit address range.
[[nodiscard]] CompilerOptions random_options(Random& random, std::uint16_t max_tiles = 128);

}  // namespace zelk_compiler::test_support

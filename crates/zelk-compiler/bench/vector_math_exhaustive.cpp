// The vector expf and tanhf against the C library's over every one of the
// 2^32 float bit patterns, on every vector instruction set this processor
// runs that has them (about 100 s per function on AVX2). Exits 0 when every
// result has the C library's bits, 1 at the first difference or when the
// time budget runs out first.
//
//   vector-math-exhaustive [--budget SECONDS] [--function exp|tanh]
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "encoder/vector_kernels.hpp"

namespace {

using zelk_compiler::detail::VectorIsa;

struct Function {
  std::string_view name;
  float (*library)(float);
  void (*vector)(VectorIsa, std::span<float>);
};

float library_exp(float x) { return ::expf(x); }
float library_tanh(float x) { return ::tanhf(x); }

const Function functions[] = {
    {"exp", library_exp, zelk_compiler::detail::exp_each},
    {"tanh", library_tanh, zelk_compiler::detail::tanh_each},
};

std::uint32_t bits_of(float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float float_of(std::uint32_t bits) {
  float value = 0.0F;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Runs `function` on `isa` over every input; false at the first difference
// or when `deadline` passes.
bool compare_all(const Function& function, VectorIsa isa,
                 std::chrono::steady_clock::time_point deadline) {
  constexpr std::uint64_t chunk = std::uint64_t{1} << 16;
  constexpr std::uint64_t total = std::uint64_t{1} << 32;
  std::vector<float> values(chunk);
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t first = 0; first < total; first += chunk) {
    for (std::uint64_t i = 0; i < chunk; ++i) {
      values[i] = float_of(static_cast<std::uint32_t>(first + i));
    }
    function.vector(isa, values);
    for (std::uint64_t i = 0; i < chunk; ++i) {
      const auto input = static_cast<std::uint32_t>(first + i);
      const std::uint32_t expected = bits_of(function.library(float_of(input)));
      if (bits_of(values[i]) != expected) {
        std::printf("%s on %s: input 0x%08X gives 0x%08X, the C library 0x%08X\n",
                    function.name.data(), zelk_compiler::detail::vector_isa_name(isa).data(), input,
                    bits_of(values[i]), expected);
        return false;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      std::printf("%s on %s: out of time after 0x%08llX inputs\n", function.name.data(),
                  zelk_compiler::detail::vector_isa_name(isa).data(),
                  static_cast<unsigned long long>(first + chunk));
      return false;
    }
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%s on %s: all 2^32 inputs agree (%.1f s)\n", function.name.data(),
              zelk_compiler::detail::vector_isa_name(isa).data(), took.count());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double budget = 3600.0;
  std::string_view only;
  if (argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s [--budget SECONDS] [--function exp|tanh]\n", argv[0]);
    return 2;
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (flag == "--budget") {
      budget = std::strtod(argv[i + 1], nullptr);
    } else if (flag == "--function") {
      only = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--budget SECONDS] [--function exp|tanh]\n", argv[0]);
      return 2;
    }
  }
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(budget));
  bool agree = true;
  for (const Function& function : functions) {
    if (!only.empty() && only != function.name) {
      continue;
    }
    for (const VectorIsa isa : zelk_compiler::detail::all_vector_isas) {
      // The baseline set calls the C library itself.
      if (isa != VectorIsa::baseline && zelk_compiler::detail::vector_isa_available(isa)) {
        agree = compare_all(function, isa, deadline) && agree;
      }
    }
  }
  return agree ? 0 : 1;
}

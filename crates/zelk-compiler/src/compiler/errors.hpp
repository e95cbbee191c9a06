// Error values shared by transfers and memory planning.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "zelk_compiler/error.hpp"

namespace zelk_compiler::detail {

inline CompileError data_limit_error(std::uint16_t tile, std::string_view tensor_name) {
  std::string message = "tile " + std::to_string(tile) + " exceeds data limit allocating ";
  message += tensor_name;
  return CompileError::memory(std::move(message));
}

inline CompileError address_overflow_error() { return CompileError::memory("address overflow"); }

}  // namespace zelk_compiler::detail

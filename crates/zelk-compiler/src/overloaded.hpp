// The usual helper to visit a variant with one lambda per alternative.
#pragma once

namespace zelk_compiler::detail {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

}  // namespace zelk_compiler::detail

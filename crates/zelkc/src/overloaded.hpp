// The usual helper to visit a variant with one lambda per alternative.
#pragma once

namespace zelkc {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

}  // namespace zelkc

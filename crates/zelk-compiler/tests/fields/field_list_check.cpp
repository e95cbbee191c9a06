// Built, not run: a field list that matches its record compiles, and one that
// leaves out a member or lists two out of order does not. CMake compiles it
// once per case, naming the case in FIELD_LIST_CASE.
#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>

#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/fields.hpp"

namespace sample {

struct Share {
  std::uint16_t tile = 0;
  std::string name;
  std::uint64_t bytes = 0;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Share>) {
  using zelk_compiler::field;
#if FIELD_LIST_CASE == 1  // a member left out
  return zelk_compiler::describe_record<Share>("Share", field("tile", &Share::tile),
                                               field("name", &Share::name));
#elif FIELD_LIST_CASE == 2  // two members swapped
  return zelk_compiler::describe_record<Share>("Share", field("name", &Share::name),
                                               field("tile", &Share::tile),
                                               field("bytes", &Share::bytes));
#else
  return zelk_compiler::describe_record<Share>("Share", field("tile", &Share::tile),
                                               field("name", &Share::name),
                                               field("bytes", &Share::bytes));
#endif
}

}  // namespace sample

int main() {
  std::ostringstream out;
  zelk_compiler::write_record(out, sample::Share{.tile = 3, .name = "a", .bytes = 64});
  return out.str() == "Share { tile: 3, name: \"a\", bytes: 64 }" ? 0 : 1;
}

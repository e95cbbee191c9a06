// "Did you mean": the known name closest to a mistyped one, and lists of
// names in a sentence.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zelkc {

// The candidate nearest to `given` in edits (insert, delete, replace, swap
// two neighbours), or one that `given` begins; nothing when none is near
// enough to be a likely typo. Leading dashes do not count towards the length
// that decides how many edits are allowed. The first candidate wins a tie.
[[nodiscard]] std::optional<std::string> closest(std::string_view given,
                                                 std::span<const std::string> candidates);

// "a, b or c" for the conjunction "or".
[[nodiscard]] std::string listing(std::span<const std::string> names, std::string_view conjunction);

}  // namespace zelkc

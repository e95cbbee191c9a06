// Unsigned numbers given on the command line: decimal, or hexadecimal after
// "0x".
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace zelkc {

// The value of `text` when it is a decimal or "0x" hexadecimal number in
// [minimum, maximum]; otherwise a message saying what is wrong with it. Signs,
// spaces, fractions and values beyond 64 bits are all refused.
[[nodiscard]] std::expected<std::uint64_t, std::string> parse_unsigned(std::string_view text,
                                                                       std::uint64_t minimum,
                                                                       std::uint64_t maximum);

}  // namespace zelkc

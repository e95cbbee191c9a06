// Strict unsigned number reading for command line values.
#include "formats/numbers.hpp"

#include <charconv>
#include <system_error>

namespace zelkc {

std::expected<std::uint64_t, std::string> parse_unsigned(std::string_view text,
                                                         std::uint64_t minimum,
                                                         std::uint64_t maximum) {
  int base = 10;
  std::string_view digits = text;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    base = 16;
    digits.remove_prefix(2);
  }
  // from_chars into an unsigned type takes no sign, no space and no prefix,
  // and says when the digits do not fit.
  std::uint64_t value = 0;
  const char* last = digits.data() + digits.size();
  const auto [end, error] = std::from_chars(digits.data(), last, value, base);
  if (error == std::errc::result_out_of_range) {
    return std::unexpected('"' + std::string(text) + "\" does not fit 64 bits");
  }
  if (error != std::errc{} || end != last) {
    return std::unexpected('"' + std::string(text) +
                           "\" is not an unsigned number (decimal, or 0x and hex digits)");
  }
  if (value < minimum || value > maximum) {
    return std::unexpected(std::string(text) + " is out of range " + std::to_string(minimum) +
                           " to " + std::to_string(maximum));
  }
  return value;
}

}  // namespace zelkc

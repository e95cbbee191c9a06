// Command line numbers: decimal or 0x hexadecimal, in range, nothing else.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "commands/pipeline_command.hpp"
#include "formats/numbers.hpp"

namespace zelkc {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(Numbers, AcceptsDecimalAndHexadecimalInRange) {
  const std::vector<std::pair<std::string, std::uint64_t>> cases = {
      {"0", 0},
      {"64", 64},
      {"010", 10},
      {"0x10", 16},
      {"0XfF", 255},
      {"0x52000", 0x52000},
      {"18446744073709551615", kMax},
      {"0xFFFFFFFFFFFFFFFF", kMax},
  };
  for (const auto& [text, value] : cases) {
    const auto parsed = parse_unsigned(text, 0, kMax);
    ASSERT_TRUE(parsed.has_value()) << text << ": " << parsed.error();
    EXPECT_EQ(*parsed, value) << text;
  }
}

TEST(Numbers, RefusesEverythingElseWithAMessage) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "\"\" is not an unsigned number (decimal, or 0x and hex digits)"},
      {"-1", "\"-1\" is not an unsigned number (decimal, or 0x and hex digits)"},
      {"+1", "\"+1\" is not an unsigned number (decimal, or 0x and hex digits)"},
      {" 1", "\" 1\" is not an unsigned number (decimal, or 0x and hex digits)"},
      {"1 ", "\"1 \" is not an unsigned number (decimal, or 0x and hex digits)"},
      {"1.5", "\"1.5\" is not an unsigned number (decimal, or 0x and hex digits)"},
      {"1e3", "\"1e3\" is not an unsigned number (decimal, or 0x and hex digits)"},
      {"0x", "\"0x\" is not an unsigned number (decimal, or 0x and hex digits)"},
      {"0x-1", "\"0x-1\" is not an unsigned number (decimal, or 0x and hex digits)"},
      {"ff", "\"ff\" is not an unsigned number (decimal, or 0x and hex digits)"},
      {"18446744073709551616", "\"18446744073709551616\" does not fit 64 bits"},
      {"0x10000000000000000", "\"0x10000000000000000\" does not fit 64 bits"},
  };
  for (const auto& [text, message] : cases) {
    const auto parsed = parse_unsigned(text, 0, kMax);
    ASSERT_FALSE(parsed.has_value()) << text;
    EXPECT_EQ(parsed.error(), message);
  }
}

TEST(Numbers, RangesBoundTilesAndAddresses) {
  EXPECT_EQ(parse_unsigned("65535", 1, 0xFFFF).value(), 65535U);
  EXPECT_EQ(parse_unsigned("65536", 1, 0xFFFF).error(), "65536 is out of range 1 to 65535");
  EXPECT_EQ(parse_unsigned("0", 1, 0xFFFF).error(), "0 is out of range 1 to 65535");
  EXPECT_EQ(parse_unsigned("0xFFFFFFFF", 0, 0xFFFFFFFF).value(), 0xFFFFFFFFU);
  EXPECT_EQ(parse_unsigned("0x100000000", 0, 0xFFFFFFFF).error(),
            "0x100000000 is out of range 0 to 4294967295");
}

TEST(Numbers, GroupsDigitsInThrees) {
  const std::vector<std::pair<std::uint64_t, std::string>> cases = {
      {0, "0"},
      {999, "999"},
      {1000, "1,000"},
      {244112, "244,112"},
      {1572864, "1,572,864"},
      {kMax, "18,446,744,073,709,551,615"},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(grouped(value), text) << value;
  }
}

}  // namespace
}  // namespace zelkc

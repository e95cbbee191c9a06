// "Did you mean": which mistyped names find a known one, and which do not.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "commands/suggestions.hpp"

namespace zelkc {
namespace {

TEST(Suggestions, FindTheNameOneOrTwoTyposAway) {
  const std::vector<std::string> flags = {"--sequence", "--hidden", "--heads", "--feed-forward",
                                          "--layers",   "--tiles",  "--tile",  "-o",
                                          "--output",   "--emit",   "--graph"};
  const std::vector<std::string> commands = {"compile", "graph", "reference"};
  struct Case {
    std::string given;
    const std::vector<std::string>* candidates;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"--tiels", &flags, "--tiles"},        // two neighbours swapped
      {"--seqence", &flags, "--sequence"},   // one letter left out
      {"--hiddden", &flags, "--hidden"},     // one letter too many
      {"--haeds", &flags, "--heads"},        // swapped
      {"--grpah", &flags, "--graph"},        // swapped
      {"--tile", &flags, "--tile"},          // itself
      {"--tilse", &flags, "--tiles"},        // a tie with --tile: the first wins
      {"--feed", &flags, "--feed-forward"},  // the start of a name
      {"--sequnce-length", &flags, std::nullopt},
      {"-x", &flags, std::nullopt},  // one letter: anything is one edit away
      {"--ab", &flags, std::nullopt},
      {"--frobnicate", &flags, std::nullopt},
      {"complie", &commands, "compile"},
      {"grpah", &commands, "graph"},
      {"refrence", &commands, "reference"},
      {"run", &commands, std::nullopt},
      {"", &commands, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(closest(c.given, *c.candidates), c.expected) << c.given;
  }
}

TEST(Suggestions, ListNamesInASentence) {
  EXPECT_EQ(listing({}, "or"), "");
  const std::vector<std::string> one = {"json"};
  const std::vector<std::string> two = {"compile", "graph"};
  const std::vector<std::string> three = {"summary", "json", "text"};
  EXPECT_EQ(listing(one, "or"), "json");
  EXPECT_EQ(listing(two, "and"), "compile and graph");
  EXPECT_EQ(listing(three, "or"), "summary, json or text");
}

}  // namespace
}  // namespace zelkc

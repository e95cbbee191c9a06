// Edit distance with swaps of neighbours, for "did you mean".
#include "commands/suggestions.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace zelkc {
namespace {

// Optimal string alignment distance: insertions, deletions, replacements and
// swaps of two neighbouring characters each cost 1.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  const std::size_t columns = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * columns);
  const auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return d[i * columns + j]; };
  for (std::size_t i = 0; i <= a.size(); ++i) {
    at(i, 0) = i;
  }
  for (std::size_t j = 0; j <= b.size(); ++j) {
    at(0, j) = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t replace = at(i - 1, j - 1) + (a[i - 1] == b[j - 1] ? 0 : 1);
      std::size_t best = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, replace});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        best = std::min(best, at(i - 2, j - 2) + 1);
      }
      at(i, j) = best;
    }
  }
  return at(a.size(), b.size());
}

}  // namespace

std::optional<std::string> closest(std::string_view given,
                                   std::span<const std::string> candidates) {
  const std::size_t letters = given.size() - std::min(given.find_first_not_of('-'), given.size());
  // One edit in three letters, at most two: "tiels" finds "tiles", "-x"
  // finds nothing.
  const std::size_t allowed = std::min<std::size_t>(letters / 3, 2);
  std::optional<std::string> best;
  std::size_t best_distance = allowed + 1;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = edit_distance(given, candidate);
    if (distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  if (!best && letters >= 3) {
    for (const std::string& candidate : candidates) {
      if (candidate.starts_with(given)) {
        return candidate;
      }
    }
  }
  return best;
}

std::string listing(std::span<const std::string> names, std::string_view conjunction) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i + 1 == names.size() && i != 0) {
      text += ' ';
      text += conjunction;
      text += ' ';
    } else if (i != 0) {
      text += ", ";
    }
    text += names[i];
  }
  return text;
}

}  // namespace zelkc

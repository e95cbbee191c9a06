// The sub-problems the exact search has proven to have no placement, so that
// the same one met through another branch or run fails without a search.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zelk_compiler::detail::search {

// Sub-problems proven to have no placement under a limit: a group of
// buffers above given floors. The key lists the group's buffers and the
// floors across its sections; the value is the highest limit it failed
// under, since a lower limit fails too. Bounded, so that a long search
// cannot exhaust memory; once full it only answers.
class FailedGroups {
 public:
  [[nodiscard]] bool contains(const std::vector<std::uint64_t>& key, std::uint64_t limit) const {
    const auto found = failed_.find(key);
    return found != failed_.end() && limit <= found->second;
  }

  void add(std::vector<std::uint64_t> key, std::uint64_t limit) {
    if (const auto found = failed_.find(key); found != failed_.end()) {
      found->second = std::max(found->second, limit);
      return;
    }
    if (words_ + key.size() > kMaxWords) {
      return;
    }
    words_ += key.size();
    failed_.emplace(std::move(key), limit);
  }

 private:
  struct Hash {
    std::size_t operator()(const std::vector<std::uint64_t>& key) const {
      std::uint64_t hash = 0xCBF29CE484222325ULL;
      for (const std::uint64_t word : key) {
        hash = (hash ^ word) * 0x100000001B3ULL;
        hash ^= hash >> 29U;
      }
      return hash;
    }
  };
  static constexpr std::size_t kMaxWords = std::size_t{1} << 22U;
  std::unordered_map<std::vector<std::uint64_t>, std::uint64_t, Hash> failed_;
  std::size_t words_ = 0;
};

}  // namespace zelk_compiler::detail::search

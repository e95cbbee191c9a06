// Reading the tool's input files, with failures that name the path.
#pragma once

#include <cstdint>
#include <string>

#include "failure.hpp"

namespace zelkc {

// The most bytes read_text_file reads: far more than any graph file or
// buffer list holds, and a bound on what an endless stream costs.
inline constexpr std::uint64_t kLongestTextFile = std::uint64_t{1} << 30;

// The whole of the file at `path`, or of standard input for "-". A missing,
// unreadable or directory path and a file longer than `longest` bytes are
// failures of the input (exit status 1), and one that holds a NUL byte (no
// text does) a usage failure, each naming the path ("standard input" for
// "-"). Pipes and devices are read like files, within the same bounds.
[[nodiscard]] Outcome<std::string> read_text_file(const std::string& path,
                                                  std::uint64_t longest = kLongestTextFile);

// Nothing when the file at `path` opens for reading; otherwise the failure
// read_text_file gives.
[[nodiscard]] Outcome<void> check_readable_file(const std::string& path);

}  // namespace zelkc

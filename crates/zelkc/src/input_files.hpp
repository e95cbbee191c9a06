// Reading the tool's input files, with failures that name the path.
#pragma once

#include <string>

#include "failure.hpp"

namespace zelkc {

// The whole of the file at `path`, or of standard input for "-". A missing,
// unreadable or directory path is a usage failure naming it.
[[nodiscard]] Outcome<std::string> read_text_file(const std::string& path);

}  // namespace zelkc

// Writing the tool's output files so that a failure leaves none of them
// touched.
#pragma once

#include <filesystem>
#include <span>
#include <string>

#include "failure.hpp"

namespace zelkc {

struct OutputFile {
  std::filesystem::path path;
  std::string contents;
};

// Writes every file to a temporary file in its target's directory and only
// when all of them are written renames them into place. Fails (`Usage`) for
// a path given twice or a file that cannot be written, removing what it
// made.
[[nodiscard]] Outcome<void> write_files(std::span<const OutputFile> files);

}  // namespace zelkc

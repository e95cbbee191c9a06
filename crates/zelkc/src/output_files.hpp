// Writing the tool's output files so that a failure leaves none of them
// touched.
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <vector>

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

// Where a command's main output goes: into the file `output` (written with
// `files`) when one is named, otherwise into the returned text for standard
// output, once `files` are written.
[[nodiscard]] Outcome<std::string> deliver(const std::string& output, std::string text,
                                           std::vector<OutputFile> files);

}  // namespace zelkc

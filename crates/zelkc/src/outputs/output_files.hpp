// Writing the tool's output files so that a failure leaves every regular file
// untouched and never replaces a device, a FIFO or a symbolic link.
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

// Writes every regular file to a temporary file in its target's directory
// and only when all of them are written renames them into place; a symbolic
// link is followed, so the file it points at is replaced and the link stays.
// A path that names something other than a regular file (a device, a FIFO)
// is written directly, after the temporaries and before the renames, and is
// never replaced. Fails (`Usage`) for a path given twice or a file that
// cannot be opened or made, (`Failed`) for a write or close that fails, in
// both cases removing the temporaries it made.
[[nodiscard]] Outcome<void> write_files(std::span<const OutputFile> files);

// Where a command's main output goes: into the file `output` (written with
// `files`) when one is named, otherwise into the returned text for standard
// output, once `files` are written.
[[nodiscard]] Outcome<std::string> deliver(const std::string& output, std::string text,
                                           std::vector<OutputFile> files);

}  // namespace zelkc

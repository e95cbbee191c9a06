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

// "wrote report.html (36 kB)": the line that confirms a file written, its
// size in bytes below 10 kB, in kB below 10 MB and in MB above.
[[nodiscard]] std::string written_line(const OutputFile& file);

// Where a command's main output goes: into the file `output` (written with
// `files`) when one is named, otherwise into the returned text for standard
// output, once `files` are written. Each file written is confirmed by its
// written_line on standard error, so that what standard output carries is
// the same with or without files.
[[nodiscard]] Outcome<std::string> deliver(const std::string& output, std::string text,
                                           std::vector<OutputFile> files);

}  // namespace zelkc

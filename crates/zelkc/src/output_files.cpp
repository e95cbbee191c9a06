// Temporary files renamed into place.
#include "output_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace zelkc {
namespace {

namespace fs = std::filesystem;

Failure cannot_write(const fs::path& path, int error) {
  return Failure::usage(path.string() + ": cannot write: " + std::strerror(error));
}

// Removes the temporary files it holds unless they were renamed away.
struct Temporaries {
  std::vector<fs::path> paths;
  Temporaries() = default;
  Temporaries(const Temporaries&) = delete;
  Temporaries& operator=(const Temporaries&) = delete;
  ~Temporaries() {
    for (const fs::path& path : paths) {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
  }
};

// Creates a new file next to `target` (mode 0666 less the umask, like the
// target would get) and writes `contents` into it.
Outcome<fs::path> write_temporary(const fs::path& target, const std::string& contents) {
  const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
  for (int attempt = 0;; ++attempt) {
    // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) about a
    // literal plus a string at -O3.
    std::string name = ".";
    name += target.filename().string();
    name += '.';
    name += std::to_string(::getpid());
    name += '.';
    name += std::to_string(attempt);
    name += ".tmp";
    fs::path candidate = directory / name;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST && attempt < 100) {
        continue;
      }
      return std::unexpected(cannot_write(target, errno));
    }
    std::size_t written = 0;
    int error = 0;
    while (written < contents.size()) {
      const ssize_t count = ::write(fd, contents.data() + written, contents.size() - written);
      if (count < 0) {
        if (errno == EINTR) {
          continue;
        }
        error = errno;
        break;
      }
      written += static_cast<std::size_t>(count);
    }
    if (::close(fd) != 0 && error == 0) {
      error = errno;
    }
    if (error != 0) {
      std::error_code ignored;
      fs::remove(candidate, ignored);
      return std::unexpected(cannot_write(target, error));
    }
    return candidate;
  }
}

}  // namespace

Outcome<void> write_files(std::span<const OutputFile> files) {
  std::vector<fs::path> targets;
  for (const OutputFile& file : files) {
    std::error_code error;
    fs::path full = fs::weakly_canonical(fs::absolute(file.path), error);
    if (error) {
      full = file.path;
    }
    for (const fs::path& earlier : targets) {
      if (earlier == full) {
        return std::unexpected(
            Failure::usage(file.path.string() + ": the same file is given for two outputs"));
      }
    }
    targets.push_back(std::move(full));
  }

  Temporaries temporaries;
  for (const OutputFile& file : files) {
    auto temporary = write_temporary(file.path, file.contents);
    if (!temporary) {
      return std::unexpected(std::move(temporary.error()));
    }
    temporaries.paths.push_back(std::move(*temporary));
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (::rename(temporaries.paths[i].c_str(), files[i].path.c_str()) != 0) {
      return std::unexpected(cannot_write(files[i].path, errno));
    }
    temporaries.paths[i].clear();
  }
  return {};
}

Outcome<std::string> deliver(const std::string& output, std::string text,
                             std::vector<OutputFile> files) {
  if (!output.empty()) {
    files.insert(files.begin(), OutputFile{output, std::move(text)});
    text.clear();
  }
  if (auto written = write_files(files); !written) {
    return std::unexpected(std::move(written.error()));
  }
  return text;
}

}  // namespace zelkc

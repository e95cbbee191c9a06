// Regular files written through temporary files renamed into place; devices
// and FIFOs written directly.
#include "outputs/output_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace zelkc {
namespace {

namespace fs = std::filesystem;

// As many symbolic links as the system itself follows in one path.
constexpr int kMostLinks = 40;

std::string reason(const fs::path& path, int error) {
  return path.string() + ": cannot write: " + std::strerror(error);
}

// The file could not be opened or made: a path the caller got wrong.
Failure cannot_open(const fs::path& path, int error) { return Failure::usage(reason(path, error)); }

// Writing failed once the file was open: the system's fault, not the path's.
Failure cannot_finish(const fs::path& path, int error) {
  return Failure::failed(reason(path, error));
}

// Writes all of `contents` to `fd` and closes it; 0, or the errno of the
// first failure.
int write_and_close(int fd, std::string_view contents) {
  int error = 0;
  while (!contents.empty()) {
    const ssize_t count = ::write(fd, contents.data(), contents.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      // A write that takes nothing would loop forever.
      error = count < 0 ? errno : EIO;
      break;
    }
    contents.remove_prefix(static_cast<std::size_t>(count));
  }
  if (::close(fd) != 0 && error == 0) {
    error = errno;
  }
  return error;
}

// Where one output goes. A regular file, or a path that names nothing yet,
// is replaced whole by renaming a temporary over `file`: the path with the
// symbolic links of its last component followed, so that a link keeps
// pointing at the new contents. Anything else that exists (a device, a FIFO,
// a terminal) cannot be replaced without harm and is written directly.
struct Target {
  fs::path file;
  bool direct = false;
};

Outcome<Target> target_of(const fs::path& path) {
  // stat() follows every link, including the kernel's own (/dev/stdout),
  // whose contents are no path that could be followed by hand.
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    return Target{.file = path, .direct = true};
  }
  fs::path file = path;
  for (int links = 0; links < kMostLinks; ++links) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(file, error))) {
      return Target{.file = std::move(file)};
    }
    fs::path pointee = fs::read_symlink(file, error);
    if (error) {
      return std::unexpected(cannot_open(path, error.value()));
    }
    file = pointee.is_absolute() ? std::move(pointee) : file.parent_path() / pointee;
  }
  return std::unexpected(cannot_open(path, ELOOP));
}

// Removes the temporary files it holds unless they were renamed away.
struct Temporaries {
  std::vector<fs::path> paths;
  Temporaries() = default;
  Temporaries(const Temporaries&) = delete;
  Temporaries& operator=(const Temporaries&) = delete;
  ~Temporaries() {
    for (const fs::path& path : paths) {
      if (!path.empty()) {
        std::error_code ignored;
        fs::remove(path, ignored);
      }
    }
  }
};

// Creates a new file next to `file` (mode 0666 less the umask, like the
// file would get) and writes `contents` into it. Failures name `shown`, the
// path as the caller gave it.
Outcome<fs::path> write_temporary(const fs::path& file, const fs::path& shown,
                                  const std::string& contents) {
  const fs::path directory = file.has_parent_path() ? file.parent_path() : fs::path(".");
  for (int attempt = 0;; ++attempt) {
    // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) about a
    // literal plus a string at -O3.
    std::string name = ".";
    name += file.filename().string();
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
      return std::unexpected(cannot_open(shown, errno));
    }
    if (const int error = write_and_close(fd, contents); error != 0) {
      std::error_code ignored;
      fs::remove(candidate, ignored);
      return std::unexpected(cannot_finish(shown, error));
    }
    return candidate;
  }
}

// Writes `contents` into the existing file at `path` as it is, without
// creating, truncating or replacing it.
Outcome<void> write_directly(const fs::path& path, const std::string& contents) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    return std::unexpected(cannot_open(path, errno));
  }
  if (const int error = write_and_close(fd, contents); error != 0) {
    return std::unexpected(cannot_finish(path, error));
  }
  return {};
}

// The same file for two outputs would leave only one of them.
Outcome<void> check_distinct(std::span<const OutputFile> files, std::span<const Target> targets) {
  std::vector<fs::path> seen;
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::error_code error;
    fs::path full = fs::weakly_canonical(fs::absolute(targets[i].file), error);
    if (error) {
      full = targets[i].file;
    }
    for (const fs::path& earlier : seen) {
      if (earlier == full) {
        return std::unexpected(
            Failure::usage(files[i].path.string() + ": the same file is given for two outputs"));
      }
    }
    seen.push_back(std::move(full));
  }
  return {};
}

}  // namespace

Outcome<void> write_files(std::span<const OutputFile> files) {
  std::vector<Target> targets;
  for (const OutputFile& file : files) {
    auto target = target_of(file.path);
    if (!target) {
      return std::unexpected(std::move(target.error()));
    }
    targets.push_back(std::move(*target));
  }
  if (auto distinct = check_distinct(files, targets); !distinct) {
    return distinct;
  }

  // Temporaries first, so that a failure leaves every regular file as it
  // was; what goes directly cannot be taken back, so it waits for them.
  Temporaries temporaries;
  temporaries.paths.resize(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (targets[i].direct) {
      continue;
    }
    auto temporary = write_temporary(targets[i].file, files[i].path, files[i].contents);
    if (!temporary) {
      return std::unexpected(std::move(temporary.error()));
    }
    temporaries.paths[i] = std::move(*temporary);
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (targets[i].direct) {
      if (auto written = write_directly(files[i].path, files[i].contents); !written) {
        return written;
      }
    }
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (targets[i].direct) {
      continue;
    }
    if (::rename(temporaries.paths[i].c_str(), targets[i].file.c_str()) != 0) {
      return std::unexpected(cannot_open(files[i].path, errno));
    }
    temporaries.paths[i].clear();
  }
  return {};
}

std::string written_line(const OutputFile& file) {
  const std::uint64_t bytes = file.contents.size();
  const std::uint64_t kilobytes = (bytes + 500) / 1000;
  std::string size;
  if (bytes < 10'000) {
    size = std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  } else if (kilobytes < 10'000) {
    size = std::to_string(kilobytes) + " kB";
  } else {
    size = std::to_string((bytes + 500'000) / 1'000'000) + " MB";
  }
  return "wrote " + file.path.string() + " (" + size + ")";
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
  for (const OutputFile& file : files) {
    std::cerr << written_line(file) << '\n';
  }
  return text;
}

}  // namespace zelkc

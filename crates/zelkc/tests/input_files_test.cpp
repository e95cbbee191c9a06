// Input files are read whole, within a bound, and only when they are text.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "inputs/input_files.hpp"
#include "scratch_directory.hpp"

namespace zelkc {
namespace {

namespace fs = std::filesystem;

class InputFiles : public ScratchDirectory {
 protected:
  // The failure's message of reading `path` (at most `longest` bytes).
  static std::string refusal(const fs::path& path, std::uint64_t longest = kLongestTextFile) {
    const auto text = read_text_file(path.string(), longest);
    if (text) {
      return "read " + std::to_string(text->size()) + " bytes";
    }
    return text.error().message;
  }
};

TEST_F(InputFiles, ReadsTheWholeFile) {
  // Past one read's worth, with line ends and UTF-8 kept as they are.
  const std::string text = std::string(100'000, 'x') + "\r\n\xC3\xA9\n";
  write(directory_ / "a.csv", text);
  EXPECT_EQ(read_text_file((directory_ / "a.csv").string()), text);
  write(directory_ / "empty.csv", "");
  EXPECT_EQ(read_text_file((directory_ / "empty.csv").string()), "");
}

TEST_F(InputFiles, WhatCannotBeReadAsTextIsRefusedNamingThePath) {
  write(directory_ / "nul.json", "{}\n" + std::string(1, '\0') + "ignored");
  // The offset counts across reads.
  write(directory_ / "late_nul.json", std::string(70'000, ' ') + '\0');
  write(directory_ / "long.json", std::string(11, ' '));
  const std::string at = directory_.string() + "/";
  EXPECT_EQ(refusal(directory_ / "nul.json"),
            at + "nul.json: not a text file: a NUL byte at offset 3");
  EXPECT_EQ(refusal(directory_ / "late_nul.json"),
            at + "late_nul.json: not a text file: a NUL byte at offset 70000");
  EXPECT_EQ(refusal(directory_ / "long.json", 10),
            at + "long.json: cannot read: longer than 10 bytes");
  EXPECT_EQ(refusal(directory_ / "long.json", 11), "read 11 bytes");
  EXPECT_EQ(refusal(directory_ / "missing.json"),
            at + "missing.json: cannot read: No such file or directory");
  EXPECT_EQ(refusal(directory_), directory_.string() + ": cannot read: it is a directory");
}

// What is not there is a failure of the input, exit status 1; what is there
// but is not text, a malformed file, exit status 2.
TEST_F(InputFiles, AFileThatCannotBeReadExitsOneAndOneThatIsNotTextTwo) {
  write(directory_ / "nul.json", std::string(1, '\0'));
  write(directory_ / "long.json", std::string(11, ' '));
  const auto status = [](const fs::path& path, std::uint64_t longest = kLongestTextFile) {
    return read_text_file(path.string(), longest).error().exit_status();
  };
  EXPECT_EQ(status(directory_ / "missing.json"), 1);
  EXPECT_EQ(status(directory_), 1);
  EXPECT_EQ(status(directory_ / "long.json", 10), 1);
  EXPECT_EQ(status(directory_ / "nul.json"), 2);
  EXPECT_EQ(check_readable_file((directory_ / "missing.onnx").string()).error().exit_status(), 1);
}

// A regular file past the bound is refused from its size alone: this one
// is sparse, and reading it would take a gigabyte.
TEST_F(InputFiles, AFileTooLongIsRefusedBeforeItIsRead) {
  const fs::path huge = directory_ / "huge.json";
  write(huge, "");
  fs::resize_file(huge, kLongestTextFile + 1);
  EXPECT_EQ(refusal(huge), huge.string() + ": cannot read: longer than " +
                               std::to_string(kLongestTextFile) + " bytes");
}

// Streams are read like files (a FIFO made by the shell's <(...) works),
// and stopped at the bound or at once on a device of NUL bytes.
TEST_F(InputFiles, StreamsAreReadWithinTheSameBounds) {
  const fs::path fifo = directory_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto feed = [&](const std::string& text) {
    return std::jthread([&fifo, text] {
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd >= 0) {
        // One write that the pipe holds whole, so it never meets a closed end.
        EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
      }
    });
  };
  {
    const auto writer = feed("id,lower,upper,size\n");
    EXPECT_EQ(read_text_file(fifo.string()), "id,lower,upper,size\n");
  }
  {
    const auto writer = feed(std::string(4096, 'y'));
    EXPECT_EQ(refusal(fifo, 1000), fifo.string() + ": cannot read: longer than 1000 bytes");
  }
  if (fs::is_character_file("/dev/zero")) {
    EXPECT_EQ(refusal("/dev/zero"), "/dev/zero: not a text file: a NUL byte at offset 0");
  }
}

}  // namespace
}  // namespace zelkc

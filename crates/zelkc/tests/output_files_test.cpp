// Output files appear whole or not at all, and never replace a link, a FIFO or
// a device.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>

#include "outputs/output_files.hpp"
#include "scratch_directory.hpp"

namespace zelkc {
namespace {

namespace fs = std::filesystem;

class OutputFiles : public ScratchDirectory {};

TEST_F(OutputFiles, WritesEveryFileAndLeavesNoTemporaries) {
  const OutputFile files[] = {{directory_ / "a.txt", "alpha"}, {directory_ / "b.svg", "beta"}};
  ASSERT_TRUE(write_files(files).has_value());
  EXPECT_EQ(read(directory_ / "a.txt"), "alpha");
  EXPECT_EQ(read(directory_ / "b.svg"), "beta");
  EXPECT_EQ(entries(), 2U);
}

TEST_F(OutputFiles, AFileThatCannotBeWrittenLeavesTheOthersUntouched) {
  write(directory_ / "a.txt", "old");
  const OutputFile files[] = {{directory_ / "a.txt", "new"},
                              {directory_ / "missing" / "b.svg", "beta"}};
  const auto written = write_files(files);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, Failure::Kind::Usage);
  EXPECT_NE(written.error().message.find("b.svg: cannot write: No such file or directory"),
            std::string::npos)
      << written.error().message;
  EXPECT_EQ(read(directory_ / "a.txt"), "old");
  EXPECT_EQ(entries(), 1U);
}

TEST_F(OutputFiles, OneFileForTwoOutputsIsRefused) {
  const OutputFile files[] = {{directory_ / "a.txt", "one"}, {directory_ / "." / "a.txt", "two"}};
  const auto written = write_files(files);
  ASSERT_FALSE(written.has_value());
  EXPECT_NE(written.error().message.find("the same file is given for two outputs"),
            std::string::npos);
  EXPECT_EQ(entries(), 0U);
}

// A link is followed to the file it names, however it points (relatively,
// through another link, at a file not there yet): that file gets the new
// contents and the links stay links.
TEST_F(OutputFiles, SymbolicLinksAreWrittenThroughAndStayLinks) {
  fs::create_directories(directory_ / "real");
  write(directory_ / "real" / "old.txt", "old");
  fs::create_symlink("real/old.txt", directory_ / "relative");
  fs::create_symlink(directory_ / "relative", directory_ / "chained");
  fs::create_symlink("real/new.txt", directory_ / "dangling");
  const OutputFile files[] = {{directory_ / "chained", "through two links"},
                              {directory_ / "dangling", "made"}};
  ASSERT_TRUE(write_files(files).has_value());
  EXPECT_EQ(read(directory_ / "real" / "old.txt"), "through two links");
  EXPECT_EQ(read(directory_ / "real" / "new.txt"), "made");
  for (const char* link : {"relative", "chained", "dangling"}) {
    EXPECT_TRUE(fs::is_symlink(directory_ / link)) << link;
  }
  EXPECT_EQ(entries(directory_ / "real"), 2U);
}

TEST_F(OutputFiles, ALinkToItselfIsRefused) {
  fs::create_symlink("b", directory_ / "a");
  fs::create_symlink("a", directory_ / "b");
  const OutputFile files[] = {{directory_ / "a", "never"}};
  const auto written = write_files(files);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, Failure::Kind::Usage);
  EXPECT_EQ(written.error().message,
            (directory_ / "a").string() + ": cannot write: Too many levels of symbolic links");
  EXPECT_TRUE(fs::is_symlink(directory_ / "a"));
  EXPECT_EQ(entries(), 2U);
}

// A FIFO, like a device, is written directly and stays what it is.
TEST_F(OutputFiles, AFifoIsWrittenDirectlyAndStaysAFifo) {
  const fs::path fifo = directory_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Open for reading first, so that opening it for writing does not wait.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const OutputFile files[] = {{fifo, "through the pipe"}, {directory_ / "a.txt", "alpha"}};
  const auto written = write_files(files);
  std::array<char, 64> received{};
  const ssize_t count = ::read(reader, received.data(), received.size());
  ::close(reader);
  ASSERT_TRUE(written.has_value()) << written.error().message;
  EXPECT_EQ(std::string(received.data(), count > 0 ? static_cast<std::size_t>(count) : 0),
            "through the pipe");
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(read(directory_ / "a.txt"), "alpha");
  EXPECT_EQ(entries(), 2U);
}

// A device is written directly and stays a device; a write that fails part
// way is the system's failure, not a usage one, and leaves the regular files
// as they were.
TEST_F(OutputFiles, ADeviceIsWrittenDirectlyAndAFailedWriteIsReported) {
  if (!fs::is_character_file("/dev/full")) {
    GTEST_SKIP() << "no /dev/full";
  }
  write(directory_ / "a.txt", "old");
  const OutputFile files[] = {{directory_ / "a.txt", "new"}, {"/dev/full", "no room"}};
  const auto written = write_files(files);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, Failure::Kind::Failed);
  EXPECT_EQ(written.error().message, "/dev/full: cannot write: No space left on device");
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
  EXPECT_EQ(read(directory_ / "a.txt"), "old");
  EXPECT_EQ(entries(), 1U);
}

TEST(WrittenLine, SaysTheFileAndItsSizeInUnitsAUserReads) {
  const struct {
    std::size_t bytes;
    const char* size;
  } cases[] = {{0, "0 bytes"},         {1, "1 byte"},        {9'999, "9999 bytes"},
               {10'000, "10 kB"},      {36'499, "36 kB"},    {36'500, "37 kB"},
               {9'999'499, "9999 kB"}, {9'999'500, "10 MB"}, {12'345'678, "12 MB"}};
  for (const auto& c : cases) {
    const OutputFile file{.path = "out/report.html", .contents = std::string(c.bytes, 'x')};
    EXPECT_EQ(written_line(file), std::string("wrote out/report.html (") + c.size + ")");
  }
}

}  // namespace
}  // namespace zelkc

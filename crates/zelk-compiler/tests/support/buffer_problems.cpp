// Loading the published buffer problems from their CSV files, and making
// crowded random ones.
#include "support/buffer_problems.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "support/random_graphs.hpp"

namespace zelk_compiler::test_support {

std::vector<std::string_view> buffer_problem_names() {
  return {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K"};
}

std::vector<Buffer> read_buffer_problem(std::string_view name) {
  const std::string path = std::string(ZELK_BUFFER_PROBLEMS_DIR) + "/" + std::string(name) + "." +
                           std::to_string(kBufferProblemCapacity) + ".csv";
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line) || line != "id,lower,upper,size") {
    throw std::runtime_error(path + ": cannot read the header");
  }
  std::vector<Buffer> buffers;
  while (std::getline(in, line)) {
    std::istringstream row(line);
    std::string id;
    Buffer buffer;
    char comma = 0;
    if (!std::getline(row, id, ',') ||
        !(row >> buffer.lower >> comma >> buffer.upper >> comma >> buffer.size)) {
      throw std::runtime_error(path + ": malformed row \"" + line + '"');
    }
    buffers.push_back(buffer);
  }
  return buffers;
}

std::vector<Buffer> crowded_buffers(std::uint64_t count, std::uint64_t horizon,
                                    std::uint64_t max_alignment) {
  Random random(count);
  std::vector<Buffer> buffers(count);
  for (Buffer& b : buffers) {
    const std::uint64_t a = random.between(0, horizon - 1);
    const std::uint64_t c = random.between(0, horizon - 1);
    b = Buffer{std::min(a, c), std::max(a, c) + 1, random.between(1, 4096),
               random.between(1, max_alignment)};
  }
  return buffers;
}

}  // namespace zelk_compiler::test_support

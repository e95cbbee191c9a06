// Reading and writing buffer lists as CSV.
#include "formats/buffer_csv.hpp"

#include <limits>
#include <set>
#include <stdexcept>

#include <zelk_compiler/checked.hpp>

#include "formats/numbers.hpp"

namespace zelkc {
namespace {

constexpr std::string_view kHeader = "id,lower,upper,size";
constexpr std::string_view kColumns[] = {"id", "lower", "upper", "size"};

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t comma = line.find(',', start);
    fields.push_back(line.substr(start, comma - start));
    if (comma == std::string_view::npos) {
      return fields;
    }
    start = comma + 1;
  }
}

Failure at_line(std::size_t line, std::string_view message) {
  return Failure::usage("line " + std::to_string(line) + ": " + std::string(message));
}

Failure at_column(std::size_t line, std::size_t column, std::string_view message) {
  return Failure::usage("line " + std::to_string(line) + ", column " + std::to_string(column + 1) +
                        " (" + std::string(kColumns[column]) + "): " + std::string(message));
}

}  // namespace

Outcome<BufferTable> read_buffer_csv(std::string_view text) {
  BufferTable table;
  std::set<std::string, std::less<>> seen;
  std::uint64_t total = 0;
  bool header = false;
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t newline = text.find('\n', start);
    std::string_view line = text.substr(start, newline - start);
    start = newline == std::string_view::npos ? text.size() : newline + 1;
    ++number;
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    if (line.empty()) {
      continue;
    }
    if (!header) {
      if (line != kHeader) {
        return std::unexpected(at_line(number, "expected the header \"" + std::string(kHeader) +
                                                   "\", got \"" + std::string(line) + '"'));
      }
      header = true;
      continue;
    }
    const std::vector<std::string_view> fields = split_fields(line);
    if (fields.size() != std::size(kColumns)) {
      return std::unexpected(
          at_line(number, "expected 4 fields, got " + std::to_string(fields.size())));
    }
    if (fields[0].empty()) {
      return std::unexpected(at_column(number, 0, "empty id"));
    }
    if (!seen.emplace(fields[0]).second) {
      return std::unexpected(
          at_column(number, 0, "id \"" + std::string(fields[0]) + "\" appears twice"));
    }
    std::uint64_t values[3] = {};
    for (std::size_t column = 1; column < std::size(kColumns); ++column) {
      const auto value =
          parse_unsigned(fields[column], 0, std::numeric_limits<std::uint64_t>::max());
      if (!value) {
        return std::unexpected(at_column(number, column, value.error()));
      }
      values[column - 1] = *value;
    }
    const auto [lower, upper, size] = values;
    if (upper < lower) {
      return std::unexpected(
          at_column(number, 2, std::to_string(upper) + " is below lower " + std::to_string(lower)));
    }
    const auto sum = zelk_compiler::checked_add(total, size);
    if (!sum) {
      return std::unexpected(at_column(number, 3, "the sizes so far sum past 2^64"));
    }
    total = *sum;
    table.ids.emplace_back(fields[0]);
    table.buffers.push_back(zelk_compiler::Buffer{lower, upper, size, 1});
  }
  if (!header) {
    return std::unexpected(
        Failure::usage("empty file: expected the header \"" + std::string(kHeader) + '"'));
  }
  return table;
}

std::string write_placement_csv(const BufferTable& table, std::span<const std::uint64_t> offsets) {
  if (offsets.size() != table.buffers.size()) {
    throw std::invalid_argument("write_placement_csv: one offset per buffer");
  }
  std::string text(kHeader);
  text += ",offset\n";
  for (std::size_t i = 0; i < table.buffers.size(); ++i) {
    const zelk_compiler::Buffer& b = table.buffers[i];
    text += table.ids[i];
    for (const std::uint64_t value : {b.lower, b.upper, b.size, offsets[i]}) {
      text += ',';
      text += std::to_string(value);
    }
    text += '\n';
  }
  return text;
}

}  // namespace zelkc

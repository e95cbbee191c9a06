// zelkc: compile the encoder block or a graph file and inspect the schedule as
// a summary, JSON, its printed form, a memory map picture or an HTML report;
// export the encoder as a graph file.
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <zelk_compiler/lib.hpp>

#include "checked.hpp"
#include "failure.hpp"
#include "graph_json.hpp"
#include "memory_map.hpp"
#include "numbers.hpp"
#include "output_files.hpp"
#include "report.hpp"
#include "schedule_json.hpp"
#include "summary.hpp"

namespace zc = zelk_compiler;

namespace zelkc {
namespace {

// Accepts decimal or 0x hexadecimal within [minimum, maximum] and hands CLI11
// the plain decimal form. CLI11's own conversion would take "-1" as 2^64 - 1
// and "010" as octal.
CLI::Validator unsigned_in(std::uint64_t minimum, std::uint64_t maximum) {
  return CLI::Validator(
      [minimum, maximum](std::string& value) -> std::string {
        const auto parsed = parse_unsigned(value, minimum, maximum);
        if (!parsed) {
          return parsed.error();
        }
        value = std::to_string(*parsed);
        return {};
      },
      "");
}

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kU16Max = std::numeric_limits<std::uint16_t>::max();

struct EncoderFlags {
  zc::EncoderConfig config;
  std::uint64_t layers = 1;
  std::vector<CLI::Option*> options;
  CLI::Option* layers_option = nullptr;
};

void add_encoder_flags(CLI::App& command, EncoderFlags& flags, bool with_layers) {
  const auto add = [&](const char* name, std::uint64_t& value, const char* what) {
    flags.options.push_back(command.add_option(name, value, what)
                                ->transform(unsigned_in(0, kU64Max))
                                ->capture_default_str());
  };
  add("--sequence", flags.config.sequence, "Token rows of the encoder input");
  add("--hidden", flags.config.hidden, "Model width");
  add("--heads", flags.config.heads, "Attention heads (must divide --hidden)");
  add("--feed-forward", flags.config.feed_forward, "Inner width of the feed-forward layers");
  if (with_layers) {
    flags.layers_option =
        command
            .add_option("--layers", flags.layers,
                        "Stack this many encoder blocks (without it: the single block)")
            ->transform(unsigned_in(0, kU64Max));
    flags.options.push_back(flags.layers_option);
  }
}

std::string describe_encoder(const EncoderFlags& flags) {
  const zc::EncoderConfig& config = flags.config;
  std::string text = flags.layers_option != nullptr && flags.layers_option->count() != 0
                         ? "encoder stack of " + std::to_string(flags.layers) + " blocks"
                         : std::string("encoder block");
  text += " (sequence " + std::to_string(config.sequence) + ", hidden " +
          std::to_string(config.hidden) + ", heads " + std::to_string(config.heads) +
          ", feed_forward " + std::to_string(config.feed_forward) + ")";
  return text;
}

Outcome<zc::Graph> encoder(const EncoderFlags& flags) {
  const bool stacked = flags.layers_option != nullptr && flags.layers_option->count() != 0;
  auto graph = stacked ? zc::encoder_stack_graph(flags.config, flags.layers)
                       : zc::encoder_graph(flags.config);
  if (!graph) {
    return std::unexpected(Failure::refused(zc::debug_string(graph.error())));
  }
  return std::move(*graph);
}

Outcome<std::string> read_text_file(const std::string& path) {
  if (path == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), {});
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::unexpected(Failure::usage(path + ": cannot read: " + std::strerror(errno)));
  }
  std::string text(std::istreambuf_iterator<char>(in), {});
  if (in.bad()) {
    return std::unexpected(Failure::usage(path + ": cannot read"));
  }
  return text;
}

// Where a command's main output goes: the -o file or standard output.
Outcome<void> deliver(const std::string& output, std::string text,
                      std::vector<OutputFile> pictures) {
  if (!output.empty()) {
    pictures.insert(pictures.begin(), OutputFile{output, std::move(text)});
    text.clear();
  }
  if (auto written = write_files(pictures); !written) {
    return written;
  }
  std::cout << text << std::flush;
  return {};
}

struct CompileFlags {
  EncoderFlags encoder;
  zc::CompilerOptions options;
  std::string graph_file;
  std::string emit = "summary";
  std::string output;
  std::string memory_map;
  std::uint16_t tile = 0;
  CLI::Option* tile_option = nullptr;
  std::string report;
};

Outcome<void> run_compile(const CompileFlags& flags) {
  if (flags.tile_option->count() != 0) {
    if (flags.memory_map.empty() && flags.report.empty()) {
      return std::unexpected(Failure::usage("--tile: needs --memory-map or --report"));
    }
    if (flags.tile >= flags.options.tile_count) {
      return std::unexpected(Failure::usage("--tile: tile " + std::to_string(flags.tile) +
                                            " is not below --tiles " +
                                            std::to_string(flags.options.tile_count)));
    }
  }

  SummaryContext context{.workload = describe_encoder(flags.encoder), .options = flags.options};
  Outcome<zc::Graph> graph;
  if (!flags.graph_file.empty()) {
    context.workload = "graph file " + flags.graph_file;
    auto text = read_text_file(flags.graph_file);
    if (!text) {
      return std::unexpected(std::move(text.error()));
    }
    graph = read_graph_json(*text);
    if (!graph) {
      return std::unexpected(graph.error().at(flags.graph_file));
    }
  } else {
    graph = encoder(flags.encoder);
    if (!graph) {
      return std::unexpected(std::move(graph.error()));
    }
  }

  const auto started = std::chrono::steady_clock::now();
  zc::Result<zc::Schedule> schedule;
  try {
    schedule = zc::compile(*graph, flags.options);
  } catch (const std::exception& error) {
    // Sizes beyond what the library supports (an element count past 64 bits)
    // are refused by a thrown exception rather than a CompileError.
    return std::unexpected(Failure::refused(std::string("cannot compile: ") + error.what()));
  }
  context.compile_time = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - started);
  if (!schedule) {
    return std::unexpected(Failure::refused(zc::debug_string(schedule.error())));
  }

  const Summary summary = summarize(*graph, *schedule);
  std::string text;
  if (flags.emit == "json") {
    text = write_schedule_json(*graph, flags.options, *schedule);
  } else if (flags.emit == "text") {
    text = zc::debug_string(*schedule) + '\n';
  } else {
    std::ostringstream out;
    write_summary(out, summary, context);
    text = std::move(out).str();
  }
  std::vector<OutputFile> pictures;
  if (!flags.memory_map.empty()) {
    pictures.push_back(
        {flags.memory_map, memory_map_svg(*graph, flags.options, *schedule, flags.tile)});
  }
  if (!flags.report.empty()) {
    pictures.push_back(
        {flags.report, report_html(*graph, *schedule, summary, context, flags.tile)});
  }
  return deliver(flags.output, std::move(text), std::move(pictures));
}

struct GraphFlags {
  EncoderFlags encoder;
  std::string output;
};

Outcome<void> run_graph(const GraphFlags& flags) {
  auto graph = encoder(flags.encoder);
  if (!graph) {
    return std::unexpected(std::move(graph.error()));
  }
  auto text = write_graph_json(*graph);
  if (!text) {
    return std::unexpected(std::move(text.error()));
  }
  return deliver(flags.output, std::move(*text), {});
}

// The bit pattern of a float as "0x42D6EDB0".
std::string float_bits(float value) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "0x%08X", std::bit_cast<std::uint32_t>(value));
  return text.data();
}

// The configuration and input of the built-in reference check: value i of
// the input is (i - 9) / 16, in float.
struct ReferenceFlags {
  EncoderFlags encoder;
  ReferenceFlags() {
    encoder.config = {.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};
  }
};

Outcome<void> run_reference(const ReferenceFlags& flags) {
  const zc::EncoderConfig& config = flags.encoder.config;
  const auto count = zc::detail::checked_mul(config.sequence, config.hidden);
  if (!count) {
    return std::unexpected(
        Failure::refused("cannot evaluate: --sequence times --hidden does not fit 64 bits"));
  }
  try {
    std::vector<float> input;
    input.reserve(*count);
    for (std::uint64_t i = 0; i < *count; ++i) {
      input.push_back((static_cast<float>(i) - 9.0F) / 16.0F);
    }
    const zc::EncoderWeights weights = zc::EncoderWeights::deterministic(config);
    const auto started = std::chrono::steady_clock::now();
    const auto result = zc::encoder_reference(config, input, weights);
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - started);
    if (!result) {
      return std::unexpected(Failure::refused(zc::debug_string(result.error())));
    }
    // Summed in list order from negative zero, as the reference check does.
    float checksum = -0.0F;
    for (const float value : *result) {
      checksum += value;
    }
    std::ostringstream out;
    out << "reference:     " << describe_encoder(flags.encoder)
        << ", deterministic weights, ramp input (i - 9) / 16\n"
        << "values:        " << result->size() << '\n'
        << "checksum:      " << zc::debug_string(checksum) << '\n'
        << "checksum bits: " << float_bits(checksum) << '\n'
        << "time:          " << milliseconds(elapsed) << " (encoder_reference)\n";
    std::cout << out.str() << std::flush;
    return {};
  } catch (const std::exception& error) {
    return std::unexpected(Failure::refused(std::string("cannot evaluate: ") + error.what()));
  }
}

int fail(const Failure& failure) {
  std::cerr << "zelkc: error: " << failure.message << '\n';
  return failure.exit_status();
}

int run(int argc, char** argv) {
  CLI::App app{"zelkc: compile graphs for the tile processor and inspect their schedules"};
  app.name("zelkc");
  app.require_subcommand(1);

  CompileFlags compile_flags;
  CLI::App* compile =
      app.add_subcommand("compile", "Compile the encoder block (or a graph file) and summarise it");
  add_encoder_flags(*compile, compile_flags.encoder, true);
  compile->add_option("--tiles", compile_flags.options.tile_count, "Tiles of the target")
      ->transform(unsigned_in(1, kU16Max))
      ->capture_default_str();
  compile
      ->add_option("--data-base", compile_flags.options.data_base,
                   "First byte of each tile's data window (decimal or 0x hex)")
      ->transform(unsigned_in(0, kU32Max))
      ->capture_default_str();
  compile
      ->add_option("--data-limit", compile_flags.options.data_limit,
                   "End of each tile's data window, exclusive (decimal or 0x hex)")
      ->transform(unsigned_in(0, kU32Max))
      ->capture_default_str();
  CLI::Option* graph_option =
      compile->add_option("--graph", compile_flags.graph_file,
                          "Compile this graph file (- for standard input) instead of the encoder");
  for (CLI::Option* option : compile_flags.encoder.options) {
    graph_option->excludes(option);
  }
  compile->add_option("--emit", compile_flags.emit, "What to print: summary, json or text")
      ->check(CLI::IsMember({"summary", "json", "text"}))
      ->capture_default_str();
  compile->add_option("-o,--output", compile_flags.output,
                      "Write what --emit gives to this file instead of standard output");
  compile->add_option("--memory-map", compile_flags.memory_map,
                      "Draw one tile's memory over time into this SVG file");
  compile_flags.tile_option =
      compile->add_option("--tile", compile_flags.tile, "The tile of --memory-map (default 0)")
          ->transform(unsigned_in(0, kU16Max));
  compile->add_option("--report", compile_flags.report,
                      "Write a self-contained HTML report to this file");

  GraphFlags graph_flags;
  CLI::App* graph =
      app.add_subcommand("graph", "Write the encoder block (or a stack) as a graph file");
  add_encoder_flags(*graph, graph_flags.encoder, true);
  graph->add_option("-o,--output", graph_flags.output,
                    "Write to this file instead of standard output");

  ReferenceFlags reference_flags;
  CLI::App* reference = app.add_subcommand(
      "reference",
      "Evaluate the encoder block on the host with deterministic weights and print the checksum");
  add_encoder_flags(*reference, reference_flags.encoder, false);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help requests come as ParseErrors with exit code 0; CLI11 prints the
    // help of the subcommand they were made on.
    if (error.get_exit_code() == 0) {
      return app.exit(error);
    }
    return fail(Failure::usage(std::string(error.what()) + " (see zelkc --help)"));
  }

  Outcome<void> done;
  if (compile->parsed()) {
    done = run_compile(compile_flags);
  } else if (graph->parsed()) {
    done = run_graph(graph_flags);
  } else if (reference->parsed()) {
    done = run_reference(reference_flags);
  }
  if (!done) {
    return fail(done.error());
  }
  return 0;
}

}  // namespace
}  // namespace zelkc

int main(int argc, char** argv) {
  try {
    return zelkc::run(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "zelkc: error: " << error.what() << '\n';
    return 1;
  }
}

// Graph files: a graph written as the list of builder calls that make it.
// docs/graph-format.md describes the format.
#pragma once

#include <string>
#include <string_view>

#include <zelk_compiler/graph.hpp>

#include "failure.hpp"
#include "formats/json_text.hpp"

namespace zelkc {

// Makes the graph of `document` by replaying its entries through the graph
// builders, so every shape rule and message of the library applies. A
// malformed document fails with `Usage` and the JSON path of the problem; a
// builder that refuses an entry fails with `Refused`, the entry's path and
// the CompileError's printed form. The graph is not validated.
[[nodiscard]] Outcome<zelk_compiler::Graph> replay_graph(const Json& document);

// Parses, replays and validates a graph file. A graph that fails validation
// is `Refused` with the CompileError's printed form.
[[nodiscard]] Outcome<zelk_compiler::Graph> read_graph_json(std::string_view text);

// The document that replays to a graph equal to `graph`. Operands are written
// by name where the name picks out one earlier tensor, by index otherwise.
// Fails (`Refused`) for a graph that no sequence of builder calls makes.
[[nodiscard]] Outcome<Json> graph_to_json(const zelk_compiler::Graph& graph);

// `graph_to_json` as text, one entry per line. Fails also for names that are
// not valid UTF-8.
[[nodiscard]] Outcome<std::string> write_graph_json(const zelk_compiler::Graph& graph);

}  // namespace zelkc

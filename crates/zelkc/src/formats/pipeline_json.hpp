// The pipeline document: a pipeline's summary, every value sent to a chip,
// and per stage its operations, times and its schedule document as the
// single-chip `--emit json` writes it. docs/schedule-format.md describes it.
#pragma once

#include <string>

#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/graph.hpp>
#include <zelk_compiler/pipeline.hpp>

#include "formats/json_text.hpp"

namespace zelkc {

// `graph` is the whole graph the pipeline splits; `options` those of every
// chip. Throws std::out_of_range for a pipeline naming operations or tensors
// the graph does not have.
[[nodiscard]] Json pipeline_to_json(const zelk_compiler::Graph& graph,
                                    const zelk_compiler::CompilerOptions& options,
                                    const zelk_compiler::Pipeline& pipeline);

// The document as readable text. Bytes of names that are not UTF-8 are
// written as U+FFFD.
[[nodiscard]] std::string write_pipeline_json(const zelk_compiler::Graph& graph,
                                              const zelk_compiler::CompilerOptions& options,
                                              const zelk_compiler::Pipeline& pipeline);

}  // namespace zelkc

// The HTML report of a pipeline: one self-contained page with the
// pipeline's summary and, per chip, the single-chip report of its stage,
// with a selector that shows the chip the reader picks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/pipeline.hpp>

#include "outputs/summary.hpp"

namespace zelkc {

// Each chip's report is the page report_html writes for its stage graph and
// schedule (with `context`'s workload followed by the chip, and
// `default_tile`), held whole in an iframe's srcdoc, so that its script and
// its address fragment work as on a page of their own. The page shows the
// chip named in its address (`report.html#chip=1`), or the bottleneck's;
// without JavaScript every chip's report is shown, one after another. It
// loads nothing and is well-formed XML as well as HTML.
[[nodiscard]] std::string pipeline_report_html(const zelk_compiler::Pipeline& pipeline,
                                               std::string_view summary_text,
                                               const SummaryContext& context,
                                               std::uint16_t default_tile);

}  // namespace zelkc

// The whole public interface of zelk_compiler.
#pragma once

#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/cost_model.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/error.hpp"
#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/fields.hpp"
#include "zelk_compiler/fit.hpp"
#include "zelk_compiler/fit_text.hpp"
#include "zelk_compiler/graph.hpp"
#include "zelk_compiler/pipeline.hpp"
#include "zelk_compiler/placement.hpp"
#include "zelk_compiler/precision.hpp"
#include "zelk_compiler/stop.hpp"

#pragma once
// torvex.native.LiveInputs: the kit's host inputs computed as bars arrive
// (core/live_inputs.hpp), as a Python type.
#include "core/live_inputs.hpp"
#include "python/ref.hpp"

namespace torvex::py {

// The inputs' windows, read once from a settings object's attributes (high_snib_n, ...,
// trend_ma_length, trend_slope_bars, trend_slope_percent, close_avg_length).
core::InputSettings input_settings_from(PyObject* settings);

// One bar's inputs as the tuple LiveInputs.add returns: six floats, the trend flag 0.0 or 1.0.
Ref bar_inputs_tuple(const core::BarInputs& inputs);

// Makes the type for `module` (its qualified name torvex.native.LiveInputs).
Ref make_live_inputs_type(PyObject* module);

}  // namespace torvex::py

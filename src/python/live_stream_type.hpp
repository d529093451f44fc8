#pragma once
// torvex.native.LiveStream: one instrument in the live view, bar by bar, on the native model
// (core/live_stream.hpp), as a Python type.
#include "python/ref.hpp"

namespace torvex::py {

// Makes the type for `module` (its qualified name torvex.native.LiveStream).
Ref make_live_stream_type(PyObject* module);

}  // namespace torvex::py

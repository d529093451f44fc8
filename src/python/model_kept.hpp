#pragma once
// What the Python model keeps of the engine's attributes and line list, each with the epoch it
// holds for (python/python_model.hpp).
#include <Python.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/scratch.hpp"
#include "python/line_records.hpp"
#include "python/model_handles.hpp"
#include "python/ref.hpp"

namespace torvex::py {

// An engine attribute's object, by its interned name.
struct KeptEngineAttr {
  PyObject* name = nullptr;
  Ref value;
  uint64_t epoch = 0;
};

// An engine attribute as a bar index.
struct KeptEngineIndex {
  uint64_t epoch = ~uint64_t{0};  // never current at first
  int64_t value = 0;
};

// One of the engine's bar series, as its handle.
struct KeptEngineSeries {
  uint64_t epoch = ~uint64_t{0};
  SeriesHandle handle;
};

// The lines of an engine's line list as host code found them, held, with their records.
using SeenLines = std::vector<std::pair<Ref, LineRecord*>>;
using SeenLinesPool = core::ReusePool<SeenLines>;

// The engine's line list as the first host code after a check found it (PythonModel::lines_stamp).
struct SeenLineList {
  uint64_t stamp = 0;
  uint64_t checked = ~uint64_t{0};  // the gateway's epoch the stamp was checked at
  bool wanted = false;              // the next host code sees the list
  bool seen = false;
  uint64_t kept = 0;     // the kept epoch the list was seen in
  uint64_t records = 0;  // the records' epoch (their kept epoch) of the lines seen
  Ref list;              // the engine's line list, an exact list
  std::optional<SeenLinesPool::Lease> lines;
};

}  // namespace torvex::py

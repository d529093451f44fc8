// Accelerator: the line list seen across host code. Replaces, for the rebuild's index of the
// lines in the engine's list (core/engine_rebuild.hpp), "dropped whenever the gateway's epoch
// moves" (host_stamp) by "dropped when lines_stamp moves". The one rule: across the host code
// the kept epoch stood (the engine's attributes, the line class, the settings and every
// recorded line's instance dictionary are as they were: python/kept_epoch.hpp), and the list is
// the one seen before it ran, holding the very lines it held then, each of the engine's line
// class with its record and the same instance dictionary. No one watches the lines' pivot
// values: after host code, the rebuild asks again of the lines whose tests would read them
// (core::skipped_values_unseen). Before 3.12 the kept epoch ends with any host code, and so
// does the stamp.
#include "python/python_model.hpp"

namespace torvex::py {

uint64_t PythonModel::lines_stamp() const {
  SeenLineList& seen = line_list_;
  if (seen.checked != host_.epoch()) {
    if (!line_list_stands()) ++seen.stamp;
    seen.checked = host_.epoch();
  }
  // What the list will be seen against, made current now: seeing it runs no host code.
  if (keep_line_records_ && engine_ != nullptr) {
    engine_epoch();
    if (records_list_ == nullptr || records_epoch_ != kept_epoch()) renew_records();
    seen.wanted = true;
  }
  return seen.stamp;
}

PyObject* PythonModel::kept_line_list() const noexcept {
  // Told without host code: the engine's epoch checked since host code last ran.
  if (engine_checked_ != host_.epoch() || engine_epoch_ == 0) return nullptr;
  PyObject* name = ctx_.str_kerds.get();
  const std::size_t mask = engine_attrs_.size() - 1;
  for (std::size_t i = kept_attr_home(name), n = 0; n < engine_attrs_.size();
       i = (i + 1) & mask, ++n) {
    const KeptEngineAttr& kept = engine_attrs_[i];
    if (kept.name == nullptr) return nullptr;
    if (kept.name == name) {
      PyObject* list = kept.value.get();
      return kept.epoch == engine_epoch_ && PyList_CheckExact(list) ? list : nullptr;
    }
  }
  return nullptr;
}

void PythonModel::see_line_list() const noexcept {
  SeenLineList& seen = line_list_;
  if (!seen.wanted) return;
  // Only the first host code after a check: what the list was then is what is weighed.
  seen.wanted = seen.seen = false;
  PyObject* list = keep_line_records_ ? kept_line_list() : nullptr;
  // Of lines recorded in the kept epoch.
  if (list == nullptr || kept_.stale(host_.epoch()) || records_list_ == nullptr ||
      records_epoch_ != kept_.current())
    return;
  if (!seen.lines) seen.lines.emplace(ctx_.seen_lines);
  SeenLines& lines = seen.lines->get();
  // What was seen last of this list in these records stays where the list still holds it.
  std::size_t same = 0;
  if (seen.list.get() == list && seen.records == records_epoch_) {
    const std::size_t count =
        std::min(lines.size(), static_cast<std::size_t>(PyList_GET_SIZE(list)));
    while (same < count &&
           PyList_GET_ITEM(list, static_cast<Py_ssize_t>(same)) == lines[same].first.get())
      ++same;
  }
  lines.resize(same);
  for (Py_ssize_t i = static_cast<Py_ssize_t>(same); i < PyList_GET_SIZE(list); ++i) {
    PyObject* line = PyList_GET_ITEM(list, i);
    LineRecord* rec = exactly(line, &ModelClasses::kerd) ? records_list_->find(line) : nullptr;
    if (rec == nullptr || !rec->dict) {
      seen.list = Ref();
      return;
    }
    lines.emplace_back(Ref::borrow(line), rec);
  }
  seen.list = Ref::borrow(list);
  seen.records = records_epoch_;
  seen.kept = kept_.current();
  seen.seen = true;
}

bool PythonModel::line_list_stands() const {
  SeenLineList& seen = line_list_;
  if (!seen.seen) return false;
  seen.seen = false;
  if (kept_epoch() != seen.kept) return false;
  PyObject* list = seen.list.get();
  const SeenLines& lines = seen.lines->get();
  if (PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(lines.size())) return false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    PyObject* line = lines[i].first.get();
    LineRecord& rec = *lines[i].second;
    // The record is still the line's: the kept epoch stood, so the records were not renewed,
    // and the line is held.
    if (PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)) != line ||
        !exactly(line, &ModelClasses::kerd) || exact_instance_dict(line) != rec.dict.get())
      return false;
  }
  return true;
}

}  // namespace torvex::py

#pragma once
// What one extension module keeps for the Python object model: the interned names the plain
// path reads and builds with, and the accelerators' per-module caches.
#include <array>
#include <cstdint>
#include <memory>

#include "core/model.hpp"
#include "core/replay_memo.hpp"
#include "core/scratch.hpp"
#include "python/attr_stamp.hpp"
#include "python/host_gateway.hpp"
#include "python/line_records.hpp"
#include "python/model_kept.hpp"
#include "python/plain_kerd.hpp"
#include "python/record.hpp"
#include "python/ref.hpp"
#include "python/series_object.hpp"
#include "python/tick_rounding.hpp"

namespace torvex::py {

// Interned names and per-module caches; one per module, kept in the module state.
class ModelContext {
 public:
  static std::unique_ptr<ModelContext> create();  // raises PyError

  // Whether the operations run on the accelerated model (python/model_switch.hpp), as found
  // when the module was imported.
  bool accelerated = true;

  std::array<Ref, core::kerd_attr_info.size()> str_kerd_attr;
  std::array<Ref, core::setting_info.size()> str_setting;
  std::array<Ref, core::pivot_field_info.size()> str_pivot_field;  // PivotField order
  std::array<Ref, core::mavet_field_info.size()> str_mavet_field;
  std::array<Ref, 4> str_pivot_series;  // PivotKind order
  Ref str_close, str_open, str_high, str_low, str_bar_index, str_time, str_last_bar_index,
      str_mintick;
  std::array<Ref, core::base_value_names.size()> str_base_value;  // the same, BaseValue order
  Ref str_settings, str_kerds, str_vip_snibs, str_new_vip_snibs, str_mavets, str_latest_mavets;
  Ref str_round_to_mintick;
  Ref str_get, str_append, str_extend, str_clear, str_pop;  // host containers' own methods
  Ref kerd_kwnames;   // the sixteen keywords a new line is built with
  Ref snib_kwnames;   // the pivot record's keywords, without `used`
  Ref mavet_kwnames;  // the window record's constructor keywords

  SeriesTypeCache series;
  core::ScratchPool scratch;
  core::OffsetMemoPool series_memo;
  // What the engines' replays found (made at the first replay): any engine may use what
  // another's found, as an entry answers only a start equal to its own.
  std::unique_ptr<core::ReplayMemo> replays;
  PlainAttrCache plain_attrs;
  PlainKerdMaker plain_kerd;
  TickRounding tick_rounding;
  std::array<PyObject*, PlainKerdMaker::kValues> plain_kerd_names{};  // borrowed from above
  std::array<PyObject*, kLineSlots> line_slot_names{};                // borrowed from above
  // The line slots whose names read (PlainAttrCache::get) and write (set) plainly on
  // instances of `type` at `version`; a changed class has a new version.
  struct PlainLineSlots {
    PyTypeObject* type = nullptr;  // not held: versions are not reused
    unsigned int version = 0;
    uint32_t get = 0, set = 0;
  };
  PlainLineSlots plain_line_slots;
  SlotNames line_slot_index;  // of line_slot_names
  SlotPlaces line_slot_places;
  LineRecordsPool line_records;
  // Whether a line's record takes its list's items as soon as it has the list's numbers, where
  // they are at hand, rather than at the first check after host code (LineRecord::take_items):
  // while the operations of this module run host code beside their lines.
  bool take_items_early = false;
  // The lines of an engine's line list as host code found them (PythonModel::lines_stamp).
  SeenLinesPool seen_lines;
  DictWatch dict_watch{0};         // the engines' instance dictionaries
  DictWatch kept_watch{1};         // those of the lines and settings objects (KeptEpoch)
  record::OwnRecords own_records;  // adopted by the engine module at its load

  int traverse(visitproc visit, void* arg) const {
    if (int status = series.traverse(visit, arg)) return status;
    return own_records.traverse(visit, arg);
  }
  void clear() noexcept {
    series.clear();
    own_records.clear();
  }

 private:
  void intern_names();
  void make_keywords();
  void name_line_slots();
};

// The classes an engine builds records and lines from (borrowed from the module state).
struct ModelClasses {
  PyObject* kerd = nullptr;
  PyObject* snib = nullptr;
  PyObject* mavet = nullptr;
};

}  // namespace torvex::py

#include "python/live_stream_type.hpp"

#include <array>
#include <memory>
#include <optional>
#include <span>

#include "core/live_stream_codec.hpp"
#include "python/args.hpp"
#include "python/doc_text.hpp"
#include "python/entry.hpp"
#include "python/host_value.hpp"
#include "python/live_inputs_type.hpp"
#include "python/native_box.hpp"
#include "python/native_records.hpp"
#include "python/native_windows.hpp"

namespace torvex::py {

namespace {

struct StreamCodec {
  using Value = core::LiveStream;
  static constexpr const char* kind = core::kStreamStateKind;
  static constexpr const char* name = "LiveStream";
  static void write(core::StateWriter& w, const Value& stream) {
    core::write_live_stream(w, stream);
  }
  static Value read(core::StateReader& r) { return core::read_live_stream(r); }
};

core::LiveStream& stream_of(PyObject* self) {
  return native_box::value_of<core::LiveStream>(self);
}

constexpr Signature kNew{"LiveStream", {"settings", "check_form"}, 1};
constexpr Signature kAdd{"add", {"time", "open", "high", "low", "close"}, 5};
constexpr Signature kPeek{"peek", {"time", "open", "high", "low", "close"}, 5};

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    std::array<PyObject*, 2> given{};
    parse_args(kNew.name, kNew.params, kNew.required, args, kwargs, given);
    PyObject* settings = given[0];
    Ref form = given[1] != nullptr ? Ref::borrow(given[1]) : Ref::steal(PyLong_FromLong(3));
    core::StreamConfig config;
    config.settings = engine_settings_from(settings);
    config.args = loop_args(settings, form.get());
    config.mintick = to_number(named_attr(settings, "mintick").get());
    config.inputs = input_settings_from(settings);
    return native_box::wrap(type, std::make_unique<core::LiveStream>(config));
  });
}

Ref level_tuple(const std::optional<core::NearestLevel>& level) {
  if (!level) return none();
  return Ref::steal(Py_BuildValue("(dn)", level->level, static_cast<Py_ssize_t>(level->pivots)));
}

Ref outcome_tuple(const core::StreamOutcome& o) {
  Ref check = check_result(o.check);
  Ref support = level_tuple(o.levels.support), resistance = level_tuple(o.levels.resistance);
  Ref taken = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(o.taken.size())));
  for (std::size_t i = 0; i < o.taken.size(); ++i)
    PyTuple_SET_ITEM(taken.get(), static_cast<Py_ssize_t>(i), pivot_tuple(o.taken[i]).release());
  return Ref::steal(Py_BuildValue("(LOOOO)", static_cast<long long>(o.bar), check.get(),
                                  support.get(), resistance.get(), taken.get()));
}

template <const auto& Sig>
core::StreamBar bar_from(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto a = parse<Sig>(args, nargs, kwnames);
  return {to_number(a["time"]), to_number(a["open"]), to_number(a["high"]), to_number(a["low"]),
          to_number(a["close"])};
}

PyObject* stream_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const core::StreamBar bar = bar_from<kAdd>(args, nargs, kwnames);
    return outcome_tuple(stream_of(self).add(bar));
  });
}

PyObject* stream_peek(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const core::StreamBar bar = bar_from<kPeek>(args, nargs, kwnames);
    return outcome_tuple(stream_of(self).peek(bar));
  });
}

PyObject* stream_lines(PyObject* self, PyObject*) {
  return guarded([&] {
    const std::vector<core::Kerd>& lines = stream_of(self).kerds();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(lines.size())));
    for (std::size_t i = 0; i < lines.size(); ++i)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), line_dict(lines[i]).release());
    return list;
  });
}

PyObject* stream_pivots(PyObject* self, PyObject*) {
  return guarded([&] {
    const core::LiveStream& stream = stream_of(self);
    Ref list = Ref::steal(PyList_New(0));
    for (const auto* snibs : {&stream.vip_snibs(), &stream.new_vip_snibs()})
      for (const core::Snib& snib : *snibs)
        check_status(PyList_Append(list.get(), pivot_tuple(snib).get()));
    return list;
  });
}

PyObject* stream_bars(PyObject* self, void*) {
  return guarded([&] { return from_index(stream_of(self).bars()); });
}

PyObject* stream_kept_bars(PyObject* self, void*) {
  return guarded([&] { return from_index(static_cast<int64_t>(stream_of(self).kept_bars())); });
}

PyMethodDef stream_methods[] = {
    method<kAdd,
           "Close a bar and return its outcome (bar, check, support, resistance, pivots): check is "
           "None when no window was open to check, else the check's result as run_history gives "
           "it; support and resistance are (level, pivot_count) or None; pivots, those intake "
           "took on the bar, as pivots() gives them. A signal is committed. A bad bar raises "
           "ValueError and changes nothing.",
           false>(fast(stream_add)),
    method<kPeek, "The outcome add would give for this bar, the stream left unchanged.", false>(
        fast(stream_peek)),
    {"lines", stream_lines, METH_NOARGS,
     PyDoc_STR("lines($self, /)\n--\n\nThe lines now, as dicts as run_history gives them.")},
    {"pivots", stream_pivots, METH_NOARGS,
     PyDoc_STR("pivots($self, /)\n--\n\nThe pivots the stream still holds (processed, then "
               "pending) as (bar_index_at_pivot, price, is_high, is_trending); in "
               "draw-from-recent mode pivots no rebuild can use any more are gone.")},
    native_box::copy_method<StreamCodec>(),
    native_box::reduce_method<StreamCodec>(),
    native_box::from_state_method<StreamCodec>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"bars", stream_bars, nullptr, PyDoc_STR("Number of bars added."), nullptr},
    {"kept_bars", stream_kept_bars, nullptr,
     PyDoc_STR("Number of the latest bars held, those the rules can still reach."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char stream_doc[] =
    "LiveStream(settings, check_form=3)\n"
    "--\n\n"
    "One instrument in the live view (the data ends at each bar as it is added), bar by bar,\n"
    "on the native model: add(time, open, high, low, close) computes the bar's inputs as\n"
    "LiveInputs does and runs the host's step on it (update, the line work when\n"
    "draw_from_recent is off, update_mavet, the check of check_form, the commit of a signal),\n"
    "bar for bar what run_history(..., live=True) does over the same bars. The settings, the\n"
    "window thresholds, mintick and the inputs' windows are read once from settings'\n"
    "attributes. It keeps only the bars and pivots the rules can still reach. Picklable;\n"
    "copy().";

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(stream_doc)},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_box::dealloc<core::LiveStream>)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "torvex.native.LiveStream",
    sizeof(native_box::Object<core::LiveStream>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    stream_slots,
};

}  // namespace

Ref make_live_stream_type(PyObject* module) {
  return Ref::steal(PyType_FromModuleAndSpec(module, &stream_spec, nullptr));
}

}  // namespace torvex::py

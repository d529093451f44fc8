#include "python/live_inputs_type.hpp"

#include <array>
#include <memory>
#include <span>

#include "core/live_inputs_codec.hpp"
#include "python/args.hpp"
#include "python/doc_text.hpp"
#include "python/entry.hpp"
#include "python/host_value.hpp"
#include "python/native_box.hpp"
#include "python/native_records.hpp"

namespace torvex::py {

namespace {

struct InputsCodec {
  using Value = core::LiveInputs;
  static constexpr const char* kind = "LiveInputs/1";
  static constexpr const char* name = "LiveInputs";
  static void write(core::StateWriter& w, const Value& inputs) {
    core::write_live_inputs(w, inputs);
  }
  static Value read(core::StateReader& r) { return core::read_live_inputs(r); }
};

core::LiveInputs& inputs_of(PyObject* self) {
  return native_box::value_of<core::LiveInputs>(self);
}

constexpr Signature kNew{"LiveInputs", {"settings"}, 1};
constexpr Signature kAdd{"add", {"high", "low", "close"}, 3};

PyObject* inputs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    std::array<PyObject*, 1> given{};
    parse_args(kNew.name, kNew.params, kNew.required, args, kwargs, given);
    return native_box::wrap(type,
                            std::make_unique<core::LiveInputs>(input_settings_from(given[0])));
  });
}

PyObject* inputs_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto a = parse<kAdd>(args, nargs, kwnames);
    const double high = to_number(a["high"]), low = to_number(a["low"]),
                 close = to_number(a["close"]);
    return bar_inputs_tuple(inputs_of(self).add(high, low, close));
  });
}

PyObject* inputs_bars(PyObject* self, void*) {
  return guarded([&] { return from_index(inputs_of(self).bars()); });
}

PyMethodDef inputs_methods[] = {
    method<kAdd,
           "Take the next bar and return its inputs: (normal_high_snib, normal_low_snib, "
           "trending_high_snib, trending_low_snib, is_ma_trending, close_avg_percent), the "
           "pivots NaN where none is reported, the trend 1.0 or 0.0.",
           false>(fast(inputs_add)),
    native_box::copy_method<InputsCodec>(),
    native_box::reduce_method<InputsCodec>(),
    native_box::from_state_method<InputsCodec>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef inputs_getset[] = {
    {"bars", inputs_bars, nullptr, PyDoc_STR("Number of bars taken."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char inputs_doc[] =
    "LiveInputs(settings)\n"
    "--\n\n"
    "The kit's host inputs (the pivots with their confirmation delay, the trend flag, the\n"
    "average range) computed as bars arrive: add(high, low, close) returns those of the new\n"
    "bar, equal bit for bit to torvex.kit.indicators.host_inputs over the whole columns at\n"
    "that bar, with work per bar bounded by the settings' windows. A pivot is reported m bars\n"
    "after its bar. The windows are read once from settings' attributes. Picklable; copy().";

PyType_Slot inputs_slots[] = {
    {Py_tp_doc, const_cast<char*>(inputs_doc)},
    {Py_tp_new, reinterpret_cast<void*>(inputs_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_box::dealloc<core::LiveInputs>)},
    {Py_tp_methods, inputs_methods},
    {Py_tp_getset, inputs_getset},
    {0, nullptr},
};

PyType_Spec inputs_spec = {
    "torvex.native.LiveInputs",
    sizeof(native_box::Object<core::LiveInputs>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    inputs_slots,
};

int64_t index_setting(PyObject* settings, const char* name) {
  return to_index(named_attr(settings, name).get());
}

}  // namespace

core::InputSettings input_settings_from(PyObject* settings) {
  core::InputSettings s;
  for (std::size_t k = 0; k < s.pivots.size(); ++k) {
    s.pivots[k].n = index_setting(settings, core::kPivotWidthNames[2 * k]);
    s.pivots[k].m = index_setting(settings, core::kPivotWidthNames[2 * k + 1]);
  }
  s.trend_ma_length = index_setting(settings, "trend_ma_length");
  s.trend_slope_bars = index_setting(settings, "trend_slope_bars");
  s.trend_slope_percent = to_number(named_attr(settings, "trend_slope_percent").get());
  s.close_avg_length = index_setting(settings, "close_avg_length");
  return s;
}

Ref bar_inputs_tuple(const core::BarInputs& in) {
  return Ref::steal(Py_BuildValue("(dddddd)", in.normal_high_snib, in.normal_low_snib,
                                  in.trending_high_snib, in.trending_low_snib,
                                  in.is_ma_trending ? 1.0 : 0.0, in.close_avg_percent));
}

Ref make_live_inputs_type(PyObject* module) {
  return Ref::steal(PyType_FromModuleAndSpec(module, &inputs_spec, nullptr));
}

}  // namespace torvex::py

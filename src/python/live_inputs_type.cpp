#include "python/live_inputs_type.hpp"

#include <array>
#include <memory>
#include <span>

#include "core/live_inputs_codec.hpp"
#include "python/args.hpp"
#include "python/doc_text.hpp"
#include "python/entry.hpp"
#include "python/host_value.hpp"
#include "python/native_records.hpp"

namespace torvex::py {

namespace {

struct LiveInputsObject {
  PyObject_HEAD core::LiveInputs* inputs;
};

core::LiveInputs& inputs_of(PyObject* self) {
  return *reinterpret_cast<LiveInputsObject*>(self)->inputs;
}

// A new instance of `type` holding `inputs`.
Ref wrap(PyTypeObject* type, std::unique_ptr<core::LiveInputs> inputs) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  reinterpret_cast<LiveInputsObject*>(self.get())->inputs = inputs.release();
  return self;
}

constexpr Signature kNew{"LiveInputs", {"settings"}, 1};
constexpr Signature kAdd{"add", {"high", "low", "close"}, 3};
constexpr Signature kFromState{"_from_state", {"state"}, 1};

PyObject* inputs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    std::array<PyObject*, 1> given{};
    parse_args(kNew.name, kNew.params, kNew.required, args, kwargs, given);
    return wrap(type, std::make_unique<core::LiveInputs>(input_settings_from(given[0])));
  });
}

void inputs_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<LiveInputsObject*>(self)->inputs;
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* inputs_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto a = parse<kAdd>(args, nargs, kwnames);
    const double high = to_number(a["high"]), low = to_number(a["low"]),
                 close = to_number(a["close"]);
    return bar_inputs_tuple(inputs_of(self).add(high, low, close));
  });
}

PyObject* inputs_copy(PyObject* self, PyObject*) {
  return guarded(
      [&] { return wrap(Py_TYPE(self), std::make_unique<core::LiveInputs>(inputs_of(self))); });
}

PyObject* inputs_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    core::StateWriter w("LiveInputs/1");
    core::write_live_inputs(w, inputs_of(self));
    const std::string& bytes = w.bytes();
    Ref blob =
        Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    Ref restore = named_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), kFromState.name);
    return Ref::steal(Py_BuildValue("(O(O))", restore.get(), blob.get()));
  });
}

PyObject* inputs_from_state(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&] {
    const auto a = parse<kFromState>(args, nargs, kwnames);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(a["state"], &data, &size) < 0) throw PyError{};
    core::StateReader r(std::span<const char>(data, static_cast<std::size_t>(size)), "LiveInputs/1",
                        "LiveInputs");
    auto inputs = std::make_unique<core::LiveInputs>(core::read_live_inputs(r));
    r.finish();
    return wrap(reinterpret_cast<PyTypeObject*>(type), std::move(inputs));
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
    {"copy", inputs_copy, METH_NOARGS,
     PyDoc_STR("copy($self, /)\n--\n\nAn independent copy that continues exactly as this.")},
    {"__reduce__", inputs_reduce, METH_NOARGS, nullptr},
    {kFromState.name, fast(inputs_from_state), kFastCall | METH_CLASS,
     PyDoc_STR("_from_state($type, state)\n--\n\nThe inputs a pickle holds (bytes of "
               "__reduce__).")},
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
    {Py_tp_dealloc, reinterpret_cast<void*>(inputs_dealloc)},
    {Py_tp_methods, inputs_methods},
    {Py_tp_getset, inputs_getset},
    {0, nullptr},
};

PyType_Spec inputs_spec = {
    "torvex.native.LiveInputs",
    sizeof(LiveInputsObject),
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

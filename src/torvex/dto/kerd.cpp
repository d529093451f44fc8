// torvex.dto.kerd: the price line Kerd and the module functions calculate_weighted_kerd_value
// and swap. Kerd derives from the host's BaseIndicator and keeps dynamic attributes; each of its
// operations runs the core line algorithm over the host's objects.
#include <array>
#include <memory>
#include <string_view>

#include "core/kerd.hpp"
#include "python/args.hpp"
#include "python/doc_text.hpp"
#include "python/entry.hpp"
#include "python/host_class.hpp"
#include "python/module_state.hpp"
#include "python/plain_model.hpp"
#include "python/python_model.hpp"

namespace torvex::dto::kerd {

namespace {

using core::KerdAttr;
using py::PythonModel;
using py::Ref;

// __init__(self, the base values, the line attributes): every name from the tables.
constexpr std::size_t kSelf = 0;
constexpr std::size_t kFirstBaseValue = kSelf + 1;
constexpr std::size_t kFirstAttr = kFirstBaseValue + core::base_value_names.size();
constexpr auto kInit = [] {
  py::Signature<kFirstAttr + core::kerd_attr_info.size()> sig{
      "__init__", {"self"}, kFirstAttr + core::kKerdRequiredAttrs};
  std::size_t i = kFirstBaseValue;
  for (std::string_view name : core::base_value_names) sig.params[i++] = name.data();
  for (const core::AttrInfo& attr : core::kerd_attr_info) sig.params[i++] = attr.name.data();
  return sig;
}();
// An optional line attribute defaults to zero of its kind.
constexpr auto kInitDefault = [](py::TextWriter& w, std::size_t i) {
  w << (core::kerd_attr_info[i - kFirstAttr].kind == core::ValueKind::flag ? "False" : "0");
};

// Everything the module keeps; owned through the module state.
struct KerdModule {
  std::unique_ptr<py::ModelContext> context;
  std::unique_ptr<py::InternedSignature> init_signature;
  Ref base_indicator;
  Ref kerd_class;
  Ref str_init;  // "__init__"

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(base_indicator.get());
    Py_VISIT(kerd_class.get());
    return context ? context->traverse(visit, arg) : 0;
  }
  void clear() {
    kerd_class = Ref();
    base_indicator = Ref();
    if (context) context->clear();
  }
};

using Holder = py::ModuleHolder<KerdModule>;

KerdModule& module_of(PyObject* module) {
  return Holder::of(module);
}

// Runs `body` on the line model the module's switch names (python/model_switch.hpp): the
// accelerated one, else the plain one.
template <class Body>
auto on_line_model(PyObject* module, Body&& body) {
  py::ModelContext& context = *module_of(module).context;
#ifndef TORVEX_NO_ACCELERATORS
  if (context.accelerated) {
    PythonModel model(context);
    return body(model);
  }
#endif
  py::PlainModel model(context);
  return body(model);
}

// Each function's parameters, for its parser and its docstring alike.
constexpr py::Signature kRoundToMintick{"round_to_mintick", {"self", "price"}, 2};
constexpr py::Signature kNotEqual{"not_equal", {"self", "target"}, 2};
constexpr py::Signature kUpdateKerdValue{
    "update_kerd_value", {"self", "last_snib_weight", "second_last_snib_weight", "snib_weight"}, 4};
constexpr py::Signature kMerge{
    "merge",
    {"self", "target", "last_snib_weight", "second_last_snib_weight", "snib_weight", "backward"},
    6};
constexpr py::Signature kOverlap{"overlap", {"self", "target", "threshold"}, 3};
constexpr py::Signature kIsKerdBarCrossesViolatedIfMerged{
    "is_kerd_bar_crosses_violated_if_merged",
    {"self", "end_kerd", "bar_cross_threshold", "last_snib_weight", "second_last_snib_weight",
     "snib_weight", "current_cross_count"},
    7};
constexpr py::Signature kIsKerdLengthPassedIfMerged{
    "is_kerd_length_passed_if_merged", {"self", "end_kerd", "length_limit"}, 3};
constexpr py::Signature kCalculateWeightedKerdValue{
    "calculate_weighted_kerd_value",
    {"snib_values", "last_snib_weight", "second_last_snib_weight", "snib_weight"},
    4};
constexpr py::Signature kSwap{"swap", {"kerds", "x_index", "y_index"}, 3};

// ---- Kerd methods (the instance arrives as the first argument)

PyObject* kerd_init(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    KerdModule& m = module_of(module);
    std::array<PyObject*, std::size(kInit.params)> a{};
    m.init_signature->parse(args, nargs, kwnames, a);
    PyObject* self = a[kSelf];

    // super().__init__(close, open, high, low, bar_index, time, last_bar_index, mintick)
    Ref parent = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                         m.kerd_class.get(), self, nullptr));
    Ref base_init = py::get_attr(parent.get(), m.str_init.get());
    Ref ignored = Ref::steal(PyObject_Vectorcall(base_init.get(), a.data() + kFirstBaseValue,
                                                 core::base_value_names.size(), nullptr));

    // The attributes in table order; an optional one left out is zero of its kind.
    Ref zero = Ref::steal(PyLong_FromLong(0));
    for (std::size_t i = 0; i < core::kerd_attr_info.size(); ++i) {
      PyObject* value = a[kFirstAttr + i];
      if (value == nullptr)
        value = core::kerd_attr_info[i].kind == core::ValueKind::flag ? Py_False : zero.get();
      py::set_attr(self, m.context->str_kerd_attr[i].get(), value);
    }
    return py::none();
  });
}

PyObject* kerd_round_to_mintick(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kRoundToMintick>(args, nargs, kwnames);
    return on_line_model(module, [&](auto& model) {
      return py::from_number(core::round_to_mintick(model, Ref::borrow(a["self"]), a["price"]));
    });
  });
}

PyObject* kerd_not_equal(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kNotEqual>(args, nargs, kwnames);
    return on_line_model(module, [&](auto& model) {
      return py::from_flag(
          core::not_equal(model, Ref::borrow(a["self"]), Ref::borrow(a["target"])));
    });
  });
}

PyObject* kerd_update_kerd_value(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kUpdateKerdValue>(args, nargs, kwnames);
    return on_line_model(module, [&](auto& model) {
      core::update_kerd_value(model, Ref::borrow(a["self"]), a["last_snib_weight"],
                              a["second_last_snib_weight"], a["snib_weight"]);
      return py::none();
    });
  });
}

PyObject* kerd_merge(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kMerge>(args, nargs, kwnames);
    return on_line_model(module, [&](auto& model) {
      return py::from_flag(core::merge(model, Ref::borrow(a["self"]), Ref::borrow(a["target"]),
                                       a["last_snib_weight"], a["second_last_snib_weight"],
                                       a["snib_weight"], a["backward"]));
    });
  });
}

PyObject* kerd_overlap(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kOverlap>(args, nargs, kwnames);
    return on_line_model(module, [&](auto& model) {
      return py::from_flag(
          core::overlap(model, Ref::borrow(a["self"]), Ref::borrow(a["target"]), a["threshold"]));
    });
  });
}

PyObject* kerd_crosses_violated(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kIsKerdBarCrossesViolatedIfMerged>(args, nargs, kwnames);
    return on_line_model(module, [&](auto& model) {
      return py::from_flag(core::is_kerd_bar_crosses_violated_if_merged(
          model, Ref::borrow(a["self"]), Ref::borrow(a["end_kerd"]), a["bar_cross_threshold"],
          a["last_snib_weight"], a["second_last_snib_weight"], a["snib_weight"],
          a["current_cross_count"]));
    });
  });
}

PyObject* kerd_length_passed(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kIsKerdLengthPassedIfMerged>(args, nargs, kwnames);
    return on_line_model(module, [&](auto& model) {
      return py::from_flag(core::is_kerd_length_passed_if_merged(
          model, Ref::borrow(a["self"]), Ref::borrow(a["end_kerd"]), a["length_limit"]));
    });
  });
}

// ---- module functions

PyObject* calculate_weighted_kerd_value(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kCalculateWeightedKerdValue>(args, nargs, kwnames);
    return on_line_model(module, [&](auto& model) {
      auto lease = model.scratch();
      py::read_numbers(a["snib_values"], lease.get());
      return py::from_number(
          core::calculate_weighted_kerd_value(model, lease.get(), a["last_snib_weight"],
                                              a["second_last_snib_weight"], a["snib_weight"]));
    });
  });
}

// The caller's list of lines, exchanged in place.
struct HostKerdList {
  PyObject* seq;

  Py_ssize_t size() const { return py::seq_length(seq); }
  void exchange(int64_t x, int64_t y) const {
    Ref at_y = py::seq_item(seq, static_cast<Py_ssize_t>(y));
    Ref at_x = py::seq_item(seq, static_cast<Py_ssize_t>(x));
    py::seq_set_item(seq, static_cast<Py_ssize_t>(x), at_y.get());
    py::seq_set_item(seq, static_cast<Py_ssize_t>(y), at_x.get());
  }
  [[noreturn]] void out_of_range() const {
    PyErr_SetString(PyExc_IndexError, core::kSwapOutOfRange);
    throw py::PyError{};
  }
};

PyObject* swap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kSwap>(args, nargs, kwnames);
    // An index too large for 64 bits is simply out of range.
    const int64_t x = py::to_saturated_index(a["x_index"]);
    const int64_t y = py::to_saturated_index(a["y_index"]);
    HostKerdList kerds{a["kerds"]};
    core::swap(kerds, x, y);
    return py::none();
  });
}

// ---- tables

PyMethodDef kerd_methods[] = {
    py::method<
        kInit,
        "Initialise the base indicator with the eight base values, then the line's attributes.",
        true, kInitDefault>(py::fast(kerd_init)),
    py::method<kRoundToMintick,
               "Round price to a whole multiple of mintick, halves to the even multiple.">(
        py::fast(kerd_round_to_mintick)),
    py::method<kNotEqual,
               "True only when start_bar_index, end_bar_index, start_time, end_time, kerd_value "
               "and kerd_accum_value all differ from target's.">(py::fast(kerd_not_equal)),
    py::method<kUpdateKerdValue, "Set kerd_value to the weighted value of snib_values.">(
        py::fast(kerd_update_kerd_value)),
    py::method<kMerge, "Merge target into this line, forward or backward; always True.">(
        py::fast(kerd_merge)),
    py::method<kOverlap,
               "Check if the target kerd_value overlaps with the source kerd_value based on the "
               "given threshold.">(py::fast(kerd_overlap)),
    py::method<kIsKerdBarCrossesViolatedIfMerged,
               "Determines if the Kerd bar crosses are violated if merged.">(
        py::fast(kerd_crosses_violated)),
    py::method<kIsKerdLengthPassedIfMerged,
               "True when the merged line would span at most length_limit bars.">(
        py::fast(kerd_length_passed)),
};

PyMethodDef module_functions[] = {
    py::method<kCalculateWeightedKerdValue,
               "The weighted mean of snib_values: the last value carries last_snib_weight, the one "
               "before it second_last_snib_weight, all earlier ones snib_weight.">(
        py::fast(calculate_weighted_kerd_value)),
    py::method<kSwap, "Swap two elements in a list of Kerd objects at specified indices.">(
        py::fast(swap)),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  return py::guarded_status([&] {
    KerdModule& m = Holder::create(module);
    m.context = py::ModelContext::create();
    m.str_init = py::intern("__init__");
    m.init_signature =
        std::make_unique<py::InternedSignature>(kInit.name, kInit.params, kInit.required);

    Ref math = Ref::steal(PyImport_ImportModule("math"));
    py::check_status(PyModule_AddObjectRef(module, "math", math.get()));
    Ref data_series = py::import_from("backtrader", "DataSeries");
    py::check_status(PyModule_AddObjectRef(module, "DataSeries", data_series.get()));
    m.base_indicator = py::import_from("indicators.common.base_indicator", "BaseIndicator");
    py::check_status(PyModule_AddObjectRef(module, "BaseIndicator", m.base_indicator.get()));

    m.kerd_class = py::make_host_class(
        module, m.base_indicator.get(),
        {"Kerd", "A horizontal price line built from the prices of one or more pivots.",
         kerd_methods});
    py::check_status(PyModule_AddObjectRef(module, "Kerd", m.kerd_class.get()));
  });
}

PyModuleDef module_def = Holder::definition<exec_module>(
    "torvex.dto.kerd",
    "Price lines: the class Kerd and the functions calculate_weighted_kerd_value and swap.",
    module_functions);

}  // namespace

}  // namespace torvex::dto::kerd

PyMODINIT_FUNC PyInit_kerd() {
  return PyModuleDef_Init(&torvex::dto::kerd::module_def);
}

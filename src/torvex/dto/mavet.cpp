// torvex.dto.mavet: the window record Mavet, the window check results and their flat form.
#include <array>
#include <cstddef>

#include "core/records.hpp"
#include "python/args.hpp"
#include "python/host_value.hpp"
#include "python/record.hpp"
#include "python/record_convert.hpp"

namespace torvex::dto::mavet {

namespace record = py::record;
using py::PyError;
using py::Ref;

extern PyModuleDef module;

// Class indices in this module, the order in which they are created.
enum ClassIndex : int { mavet, result, failure, success, result_v2, flat };

struct MavetObject {
  PyObject_HEAD core::Mavet value;
};

#define FLAG_MEMBER(name) bool name;

struct MavetResultObject {
  PyObject_HEAD bool has_signal;
  TORVEX_CHECK_FLAGS(FLAG_MEMBER)
  PyObject* mavet;
};

struct MavetFailureObject {
  PyObject_HEAD TORVEX_CHECK_FLAGS(FLAG_MEMBER) PyObject* mavet;
};
#undef FLAG_MEMBER

struct MavetSuccessObject {
  PyObject_HEAD bool has_signal;
  bool is_vvip_signal;
  PyObject* signal_debug_line;
  PyObject* mavet;
};

struct MavetResultV2Object {
  PyObject_HEAD PyObject* failure;
  PyObject* success;
};

struct FlatternMavetResultV2Object {
  PyObject_HEAD double break_kerd_at_price;
  bool is_kerd_satisfied;
  bool is_vvip_signal;
  bool is_non_vvip_signal;
  bool no_signal_but_close_above;
  bool violate_extended_bar_cross;
  bool violate_search_range_close_above_bar_count;
  bool violate_recover_window;
  bool violate_signal_window;
};

// Mavet ---------------------------------------------------------------------------------------

#define MAVET_FIELD(name) offsetof(MavetObject, value.name)
constexpr record::Field mavet_fields[] = {
    record::float64_field("break_kerd_at_price", MAVET_FIELD(break_kerd_at_price)),
    record::int32_field("break_kerd_at_bar_index", MAVET_FIELD(break_kerd_at_bar_index)),
    // -1 is "no recovery bar": the constructor maps None to it, a write of None fails.
    record::int32_or_none_field("recover_at_bar_index", MAVET_FIELD(recover_at_bar_index), -1),
    record::int32_field("break_kerd_extend_bar_cross", MAVET_FIELD(break_kerd_extend_bar_cross)),
    record::int32_field("bar_count_close_above_kerd", MAVET_FIELD(bar_count_close_above_kerd)),
    record::int32_field("vip_snib_count", MAVET_FIELD(vip_snib_count)),
    record::boolean_field("recovered", MAVET_FIELD(recovered)),
};
#undef MAVET_FIELD
// The constructor takes every field but recovered.
constexpr auto mavet_params = record::leading_names<6>(mavet_fields);
constexpr auto mavet_param_fields = record::leading_fields<6>();
constexpr auto mavet_state = record::alphabetical(mavet_fields);

// copy() rebuilds through the constructor with recover_at_bar_index -1 passed as None, which
// the constructor maps back to -1, and then sets recovered: a field-for-field copy.
constexpr record::RecordClass mavet_class{
    .name = "torvex.dto.mavet.Mavet",
    .summary = "One break of a line and its recovery; recover_at_bar_index -1 means none.",
    .module = &module,
    .index = mavet,
    .basicsize = sizeof(MavetObject),
    .fields = mavet_fields,
    .params = mavet_params,
    .param_fields = mavet_param_fields,
    .required = 2,
    .state = mavet_state,
    .checksums = {0xd06fdeb, 0xbd870bb, 0x935690b},
    .reconstructor = "__pyx_unpickle_Mavet",
    .copyable = true,
    .methods = {},
};

// MavetResult ---------------------------------------------------------------------------------

#define RESULT_FIELD(name) #name, offsetof(MavetResultObject, name)
#define RESULT_FLAG(name) record::boolean_field(RESULT_FIELD(name)),
constexpr record::Field result_fields[] = {
    record::boolean_field(RESULT_FIELD(has_signal)),
    TORVEX_CHECK_FLAGS(RESULT_FLAG) record::record_field(RESULT_FIELD(mavet), mavet),
};
#undef RESULT_FLAG
#undef RESULT_FIELD
constexpr auto result_params = record::leading_names<std::size(result_fields)>(result_fields);
constexpr auto result_param_fields = record::leading_fields<std::size(result_fields)>();
constexpr auto result_state = record::alphabetical(result_fields);

constexpr record::RecordClass result_class{
    .name = "torvex.dto.mavet.MavetResult",
    .summary = "The result of the first window check form.",
    .module = &module,
    .index = result,
    .basicsize = sizeof(MavetResultObject),
    .fields = result_fields,
    .params = result_params,
    .param_fields = result_param_fields,
    .required = 0,
    .state = result_state,
    .checksums = {0x47fb226, 0x4899756, 0xdcea0e7},
    .reconstructor = "__pyx_unpickle_MavetResult",
    .copyable = false,
    .methods = {},
};

// MavetFailure --------------------------------------------------------------------------------

#define FAILURE_FIELD(name) #name, offsetof(MavetFailureObject, name)
#define FAILURE_FLAG(name) record::boolean_field(FAILURE_FIELD(name)),
constexpr record::Field failure_fields[] = {
    TORVEX_CHECK_FLAGS(FAILURE_FLAG) record::record_field(FAILURE_FIELD(mavet), mavet),
};
#undef FAILURE_FLAG
#undef FAILURE_FIELD
constexpr auto failure_params = record::leading_names<std::size(failure_fields)>(failure_fields);
constexpr auto failure_param_fields = record::leading_fields<std::size(failure_fields)>();
constexpr auto failure_state = record::alphabetical(failure_fields);

constexpr record::RecordClass failure_class{
    .name = "torvex.dto.mavet.MavetFailure",
    .summary = "A recovered window that failed validation, with the validations it failed.",
    .module = &module,
    .index = failure,
    .basicsize = sizeof(MavetFailureObject),
    .fields = failure_fields,
    .params = failure_params,
    .param_fields = failure_param_fields,
    .required = 0,
    .state = failure_state,
    .checksums = {0x831c77e, 0x3cd8c07, 0x97cdb90},
    .reconstructor = "__pyx_unpickle_MavetFailure",
    .copyable = false,
    .methods = {},
};

// MavetSuccess --------------------------------------------------------------------------------

#define SUCCESS_FIELD(name) #name, offsetof(MavetSuccessObject, name)
constexpr record::Field success_fields[] = {
    record::boolean_field(SUCCESS_FIELD(has_signal)),
    record::boolean_field(SUCCESS_FIELD(is_vvip_signal)),
    record::object_field(SUCCESS_FIELD(signal_debug_line)),
    record::record_field(SUCCESS_FIELD(mavet), mavet),
};
#undef SUCCESS_FIELD
constexpr auto success_params = record::leading_names<std::size(success_fields)>(success_fields);
constexpr auto success_param_fields = record::leading_fields<std::size(success_fields)>();
constexpr auto success_state = record::alphabetical(success_fields);

constexpr record::RecordClass success_class{
    .name = "torvex.dto.mavet.MavetSuccess",
    .summary = "A recovered window that passed validation: the signal.",
    .module = &module,
    .index = success,
    .basicsize = sizeof(MavetSuccessObject),
    .fields = success_fields,
    .params = success_params,
    .param_fields = success_param_fields,
    .required = 0,
    .state = success_state,
    .checksums = {0x316de0a, 0xfd4198f, 0x05fe1bc},
    .reconstructor = "__pyx_unpickle_MavetSuccess",
    .copyable = false,
    .methods = {},
};

// MavetResultV2 and its predicates ------------------------------------------------------------

// Predicate names, interned per module; the predicates call each other through them so that a
// derived class's override takes part.
enum Name : int {
  recovery_succeeded,
  recovery_failed,
  recovery_has_result,
  is_kerd_satisfied,
  is_vvip_signal,
  is_non_vvip_signal,
  no_signal_but_close_above,
  violate_extended_bar_cross,
  violate_search_range_close_above_bar_count,
  violate_recover_window,
  violate_signal_window,
};
constexpr const char* names[] = {
    "recovery_succeeded",
    "recovery_failed",
    "recovery_has_result",
    "is_kerd_satisfied",
    "is_vvip_signal",
    "is_non_vvip_signal",
    "no_signal_but_close_above",
    "violate_extended_bar_cross",
    "violate_search_range_close_above_bar_count",
    "violate_recover_window",
    "violate_signal_window",
};

Ref call(record::ModuleState& state, PyObject* self, Name name) {
  return Ref::steal(PyObject_CallMethodNoArgs(self, state.names[name]));
}

bool ask(record::ModuleState& state, PyObject* self, Name name) {
  return py::to_flag(call(state, self, name).get());
}

record::ModuleState& state_of(PyObject* self) {
  return record::module_state(self, &module);
}

MavetResultV2Object* as_result(PyObject* self) {
  return reinterpret_cast<MavetResultV2Object*>(self);
}

// The outcome a predicate reads after its first operand. An override may answer true while the
// outcome is absent; reading a field of the absent outcome then fails as it would on None.
PyObject* outcome(PyObject* self, ClassIndex which, const char* field) {
  PyObject* value = which == failure ? as_result(self)->failure : as_result(self)->success;
  if (value == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%s'", field);
    throw PyError{};
  }
  return value;
}

// The eight predicates of the form "<operand>() and [not] <outcome>.<field>".
struct Conjunction {
  Name operand;
  ClassIndex outcome;
  const char* field;
  Py_ssize_t offset;
  bool negate;
};

constexpr Conjunction conjunction_of(Name name) {
  using F = MavetFailureObject;
  using S = MavetSuccessObject;
  switch (name) {
    case no_signal_but_close_above:
      return {recovery_failed, failure, "close_above_low_and_kerd",
              offsetof(F, close_above_low_and_kerd), false};
    case is_kerd_satisfied:
      return {recovery_succeeded, success, "has_signal", offsetof(S, has_signal), false};
    case is_vvip_signal:
      return {is_kerd_satisfied, success, "is_vvip_signal", offsetof(S, is_vvip_signal), false};
    case is_non_vvip_signal:
      return {is_kerd_satisfied, success, "is_vvip_signal", offsetof(S, is_vvip_signal), true};
    case violate_extended_bar_cross:
      return {recovery_failed, failure, "violate_extend_bar_cross",
              offsetof(F, violate_extend_bar_cross), false};
    case violate_search_range_close_above_bar_count:
      return {recovery_failed, failure, "violate_search_range_close_above_bar_count",
              offsetof(F, violate_search_range_close_above_bar_count), false};
    case violate_recover_window:
      return {recovery_failed, failure, "violate_recover_window",
              offsetof(F, violate_recover_window), false};
    case violate_signal_window:
      return {recovery_failed, failure, "violate_signal_window", offsetof(F, violate_signal_window),
              false};
    default:
      throw "not a conjunction";
  }
}

template <Name N>
PyObject* conjunction(PyObject* self, PyObject*) {
  static constexpr Conjunction c = conjunction_of(N);
  return py::guarded([&] {
    bool answer = ask(state_of(self), self, c.operand);
    if (answer) {
      answer = record::at<bool>(outcome(self, c.outcome, c.field), c.offset) != c.negate;
    }
    return Ref::steal(PyBool_FromLong(answer));
  });
}

PyObject* predicate_recovery_succeeded(PyObject* self, PyObject*) {
  return PyBool_FromLong(as_result(self)->success != Py_None);
}

PyObject* predicate_recovery_failed(PyObject* self, PyObject*) {
  return PyBool_FromLong(as_result(self)->failure != Py_None);
}

PyObject* predicate_recovery_has_result(PyObject* self, PyObject*) {
  return py::guarded([&] {
    record::ModuleState& state = state_of(self);
    const bool answer = ask(state, self, recovery_failed) || ask(state, self, recovery_succeeded);
    return Ref::steal(PyBool_FromLong(answer));
  });
}

template <Name N>
constexpr PyMethodDef predicate(PyCFunction function, const char* doc) {
  return {names[N], function, METH_NOARGS, doc};
}

PyMethodDef result_v2_methods[] = {
    predicate<recovery_succeeded>(predicate_recovery_succeeded, "success is present"),
    predicate<recovery_failed>(predicate_recovery_failed, "failure is present"),
    predicate<recovery_has_result>(predicate_recovery_has_result,
                                   "recovery_failed() or recovery_succeeded()"),
    predicate<no_signal_but_close_above>(conjunction<no_signal_but_close_above>,
                                         "recovery_failed() and failure.close_above_low_and_kerd"),
    predicate<is_kerd_satisfied>(conjunction<is_kerd_satisfied>,
                                 "recovery_succeeded() and success.has_signal"),
    predicate<is_vvip_signal>(conjunction<is_vvip_signal>,
                              "is_kerd_satisfied() and success.is_vvip_signal"),
    predicate<is_non_vvip_signal>(conjunction<is_non_vvip_signal>,
                                  "is_kerd_satisfied() and not success.is_vvip_signal"),
    predicate<violate_extended_bar_cross>(conjunction<violate_extended_bar_cross>,
                                          "recovery_failed() and failure.violate_extend_bar_cross"),
    predicate<violate_search_range_close_above_bar_count>(
        conjunction<violate_search_range_close_above_bar_count>,
        "recovery_failed() and failure.violate_search_range_close_above_bar_count"),
    predicate<violate_recover_window>(conjunction<violate_recover_window>,
                                      "recovery_failed() and failure.violate_recover_window"),
    predicate<violate_signal_window>(conjunction<violate_signal_window>,
                                     "recovery_failed() and failure.violate_signal_window"),
};

#define RESULT_V2_FIELD(name) #name, offsetof(MavetResultV2Object, name)
constexpr record::Field result_v2_fields[] = {
    record::record_field(RESULT_V2_FIELD(failure), failure),
    record::record_field(RESULT_V2_FIELD(success), success),
};
#undef RESULT_V2_FIELD
constexpr auto result_v2_params =
    record::leading_names<std::size(result_v2_fields)>(result_v2_fields);
constexpr auto result_v2_param_fields = record::leading_fields<std::size(result_v2_fields)>();
constexpr auto result_v2_state = record::alphabetical(result_v2_fields);

constexpr record::RecordClass result_v2_class{
    .name = "torvex.dto.mavet.MavetResultV2",
    .summary = "The result of the third window check form: at most one failure and one success.",
    .module = &module,
    .index = result_v2,
    .basicsize = sizeof(MavetResultV2Object),
    .fields = result_v2_fields,
    .params = result_v2_params,
    .param_fields = result_v2_param_fields,
    .required = 0,
    .state = result_v2_state,
    .checksums = {0x2891324, 0x1dbe481, 0xed63da8},
    .reconstructor = "__pyx_unpickle_MavetResultV2",
    .copyable = false,
    .methods = result_v2_methods,
};

// FlatternMavetResultV2 -----------------------------------------------------------------------

#define FLAT_FIELD(name) #name, offsetof(FlatternMavetResultV2Object, name)
constexpr record::Field flat_fields[] = {
    record::float64_field(FLAT_FIELD(break_kerd_at_price), -1),
    record::boolean_field(FLAT_FIELD(is_kerd_satisfied)),
    record::boolean_field(FLAT_FIELD(is_vvip_signal)),
    record::boolean_field(FLAT_FIELD(is_non_vvip_signal)),
    record::boolean_field(FLAT_FIELD(no_signal_but_close_above)),
    record::boolean_field(FLAT_FIELD(violate_extended_bar_cross)),
    record::boolean_field(FLAT_FIELD(violate_search_range_close_above_bar_count)),
    record::boolean_field(FLAT_FIELD(violate_recover_window)),
    record::boolean_field(FLAT_FIELD(violate_signal_window)),
};
#undef FLAT_FIELD
constexpr auto flat_params = record::leading_names<std::size(flat_fields)>(flat_fields);
constexpr auto flat_param_fields = record::leading_fields<std::size(flat_fields)>();
constexpr auto flat_state = record::alphabetical(flat_fields);

constexpr record::RecordClass flat_class{
    .name = "torvex.dto.mavet.FlatternMavetResultV2",
    .summary = "A MavetResultV2 flattened into plain values.",
    .module = &module,
    .index = flat,
    .basicsize = sizeof(FlatternMavetResultV2Object),
    .fields = flat_fields,
    .params = flat_params,
    .param_fields = flat_param_fields,
    .required = 0,
    .state = flat_state,
    .checksums = {0x25800e3, 0xb22ce78, 0x21f58d9},
    .reconstructor = "__pyx_unpickle_FlatternMavetResultV2",
    .copyable = false,
    .methods = {},
};

// The predicates whose answers the flat record carries, in its field order (fields 2 to 9).
constexpr Name flattened[] = {
    is_kerd_satisfied,          is_vvip_signal,
    is_non_vvip_signal,         no_signal_but_close_above,
    violate_extended_bar_cross, violate_search_range_close_above_bar_count,
    violate_recover_window,     violate_signal_window,
};

constexpr py::Signature kFromMavetResultV2{"from_mavet_result_v2", {"result"}, 1};

Ref flatten(PyObject* module_object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* const result = py::parse<kFromMavetResultV2>(args, nargs, kwnames)["result"];
  record::ModuleState& state = record::module_state(module_object);
  py::check_arg_type(result, state.types[result_v2], false, "result");

  double price = -1.0;
  if (ask(state, result, recovery_succeeded)) {
    PyObject* window =
        reinterpret_cast<MavetSuccessObject*>(outcome(result, success, "mavet"))->mavet;
    if (window != Py_None)
      price = reinterpret_cast<MavetObject*>(window)->value.break_kerd_at_price;
  }
  // Every predicate is asked before any answer is converted, as a constructor call would.
  std::array<Ref, std::size(flattened)> answers;
  for (std::size_t i = 0; i < answers.size(); ++i) answers[i] = call(state, result, flattened[i]);

  Ref flat_record = record::new_instance(flat_class, state.types[flat]);
  reinterpret_cast<FlatternMavetResultV2Object*>(flat_record.get())->break_kerd_at_price = price;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    record::assign(flat_class, flat_fields[i + 1], flat_record.get(), answers[i].get());
  }
  return flat_record;
}

PyObject* from_mavet_result_v2(PyObject* module_object, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return py::guarded([&] { return flatten(module_object, args, nargs, kwnames); });
}

// The module ----------------------------------------------------------------------------------

constexpr record::RecordModule records{.names = names};

PyMethodDef functions[] = {
    py::method<kFromMavetResultV2, "The flat form of a MavetResultV2, from its predicates.", false>(
        py::fast(from_mavet_result_v2)),
    record::reconstructor<mavet_class>(),
    record::reconstructor<result_class>(),
    record::reconstructor<failure_class>(),
    record::reconstructor<success_class>(),
    record::reconstructor<result_v2_class>(),
    record::reconstructor<flat_class>(),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module =
    record::ModuleHolder::definition<record::exec<records, mavet_class, result_class, failure_class,
                                                  success_class, result_v2_class, flat_class>>(
        "torvex.dto.mavet",
        "The window record Mavet, the window check results and their flat form.", functions);

}  // namespace torvex::dto::mavet

PyMODINIT_FUNC PyInit_mavet() {
  return PyModuleDef_Init(&torvex::dto::mavet::module);
}

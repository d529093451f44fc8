// Accelerator: lines on a host's own base class built without the line class's call. Replaces
// kerd_class(*base, **attributes) in make_kerd, that is type's call, the line initialiser's
// parsing of its sixteen keywords, super().__init__(*base) and a setattr per line attribute,
// where the base initialiser is a host's own Python function: a blank instance, the host's
// function called on it with the base values (host code, through the gateway), then the line's
// fifteen attributes stored into its instance dictionary in the initialiser's order. Valid
// where PlainKerdMaker::host_init() names that function (object's __new__ and type's call, the
// package's line initialiser first along the MRO, no class attribute with __set__ under a line
// attribute's name) and, after the host's function ran, the class still has the version tag
// this was found under; else the attributes are stored through the gateway, as the
// initialiser's setattr would store them.
#include "python/python_model.hpp"

namespace torvex::py {

Ref PythonModel::make_on_host_base(PyObject* cls, DeferredLine& line) const {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  PlainKerdMaker& maker = ctx_.plain_kerd;
  const unsigned int version = maker.version();
  Ref base_init = Ref::borrow(maker.host_init());  // held: the host code may drop the class's
  Ref object = PlainKerdMaker::blank_instance(type);
  std::array<PyObject*, 1 + kBaseValues> args{object.get()};
  for (std::size_t i = 0; i < kBaseValues; ++i) args[1 + i] = line.base[i].get();
  host_.call(base_init.get(), args.data(), args.size(), nullptr);  // its result is not looked at
  std::array<Ref, core::kerd_attr_info.size()> values;
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = deferred_attr(line, static_cast<int>(i));
  PyObject** names = ctx_.plain_kerd_names.data() + kBaseValues;
  Ref dict;
  if (maker.version_now(type) == version)
    dict = Ref::steal(PyObject_GenericGetDict(object.get(), nullptr));
  const bool plain = dict && PyDict_CheckExact(dict.get());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (plain)
      check_status(PyDict_SetItem(dict.get(), names[i], values[i].get()));
    else
      host_.set_attr(object.get(), names[i], values[i].get());
  }
  if (plain) {
    // What the line holds now is what was stored: its record starts with it.
    std::array<PyObject*, PlainKerdMaker::kValues> stored{};
    for (std::size_t i = 0; i < values.size(); ++i) stored[kBaseValues + i] = values[i].get();
    record_new_line(object.get(), stored,
                    values[static_cast<std::size_t>(core::KerdAttr::snib_values)].get(),
                    line.seed.snib_value, false);
  }
  return object;
}

}  // namespace torvex::py

// Accelerator: deferred lines. Replaces kerd_class(*base, **attributes) in make_kerd: a line of
// the engine's own line class is its seed and the base values until host code could see it,
// then built as the class would build it. Valid where the class's initialiser is the package's
// stand-in that only stores its arguments and no stored name is a descriptor
// (PlainKerdMaker::applies, kept by the class's version tag).
#include "python/python_model.hpp"

namespace torvex::py {

std::optional<bool> PythonModel::number_differs(PyObject* other, int64_t value) {
  if (PyLong_CheckExact(other)) {
    int overflow = 0;
    const long long own = PyLong_AsLongLongAndOverflow(other, &overflow);
    return overflow != 0 || own != value;
  }
  if (PyFloat_CheckExact(other) && -kExactInDouble <= value && value <= kExactInDouble)
    return PyFloat_AS_DOUBLE(other) != static_cast<double>(value);
  return std::nullopt;
}

std::optional<bool> PythonModel::number_differs(PyObject* other, double value) {
  if (PyFloat_CheckExact(other)) return PyFloat_AS_DOUBLE(other) != value;
  if (PyLong_CheckExact(other)) {
    int overflow = 0;
    const long long own = PyLong_AsLongLongAndOverflow(other, &overflow);
    if (overflow == 0 && -kExactInDouble <= own && own <= kExactInDouble)
      return static_cast<double>(own) != value;
  }
  return std::nullopt;
}

Ref PythonModel::deferred_attr(DeferredLine& line, int slot) const {
  using core::KerdAttr;
  switch (slot) {
    case kLineSlotBarIndex:
      return line.base[4];
    case kLineSlotMintick:
      return line.base[7];
    case kLineSlotClose:
      return line.base[0];
    case kLineSlotOpen:
      return line.base[1];
    default:
      break;
  }
  Ref& made = line.made[static_cast<std::size_t>(slot)];
  if (made) return made;
  core::for_each_kerd_attr([&]<KerdAttr A>() {
    if (line_slot(A) == slot) made = new_deferred_attr<A>(line);
  });
  return made;
}

Ref PythonModel::deferred_value(DeferredLine& line) const {
  if (!line.value) line.value = from_number(line.seed.snib_value);
  return line.value;
}

void PythonModel::build_deferred() const {
  DeferredLine& line = deferred_;
  line.pending = false;
  // Stored under plain_kerd_names: the eight base values, then the line's attributes, made
  // now where no read made them before.
  std::array<PyObject*, PlainKerdMaker::kValues> stored{};
  for (std::size_t i = 0; i < line.base.size(); ++i) stored[i] = line.base[i].get();
  core::for_each_kerd_attr([&]<core::KerdAttr A>() {
    stored[line.base.size() + static_cast<std::size_t>(line_slot(A))] =
        deferred_attr<A>(line).get();
  });
  Ref object = kerd_template_.make(classes_->kerd, ctx_.plain_kerd_names, stored);
  record_new_line(object.get(), stored, line.made[line_slot(core::KerdAttr::snib_values)].get(),
                  line.seed.snib_value);
  line.object = std::move(object);
}

PythonModel::Line PythonModel::make_kerd(const core::KerdSeed& seed) const {
  PyObject* cls = record_class(classes_ ? classes_->kerd : nullptr, "line");
  DeferredLine& line = deferred_;
  // The line made before is the list's now, or merged and dropped.
  line.pending = false;
  line.object = Ref();
  for (Ref& made : line.made)
    if (made) made = Ref();
  line.value = Ref();
  line.seed = seed;
  line.numbers.assign(1, seed.snib_value);
  const std::array<Ref, kBaseValues>& base = engine_base_values();
  for (std::size_t i = 0; i < kBaseValues; ++i) {
    if (line.base[i].get() == base[i].get()) continue;
    line.base[i] = base[i];
    if (i < line.series.size()) line.series[i].epoch = ~uint64_t{0};
  }
  if (ctx_.plain_kerd.applies(cls, ctx_.plain_kerd_names)) {
    line.pending = true;
    // Reads of its attributes find them as stored: they wait. Else it is built now.
    if (!ctx_.plain_kerd.reads_plain()) build_deferred();
    line.merge_reads_unseen = plain_index(line.base[4].get(), line.bar_index);
    return Line(line);
  }
  if (ctx_.plain_kerd.host_init() != nullptr) {
    Ref object = make_on_host_base(cls, line);
    line = DeferredLine{};
    return object;
  }
  // The class's initialiser, with the keywords of kerd_kwnames.
  std::array<Ref, 16> args;
  for (std::size_t i = 0; i < core::kKerdRequiredAttrs; ++i)
    args[i] = deferred_attr(line, static_cast<int>(i));
  const std::size_t order[8] = {0, 1, 2, 3, 5, 4, 6, 7};  // close, open, high, low, time, ...
  for (std::size_t i = 0; i < 8; ++i) args[8 + i] = line.base[order[i]];
  line = DeferredLine{};
  return call_with_keywords(cls, args, ctx_.kerd_kwnames);
}

}  // namespace torvex::py

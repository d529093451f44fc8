#pragma once
// Accelerator: the fields of the package's own pivot and window records read and written where
// the record stores them. Replaces getattr(record, field) and setattr(record, field, value).
// Valid while the object is exactly the engine's pivot or window class and the field's
// descriptor is the one that class was made with (record::OwnRecords::field, found through the
// attribute cache, which is keyed by the class's version tag).
#include "python/python_model.hpp"

namespace torvex::py {

template <core::PivotField F>
core::pivot_field_type<F> PythonModel::pivot(const Pivot& p) const {
  // The package's own pivot record reads its fields in C getters: no host code, and the
  // number a getter would make is the one stored. A stored field is a record field (see
  // own_pivot_field): one look at the attribute cache tells both.
  PyObject* field = ctx_.str_pivot_field[static_cast<int>(F)].get();
  if (const record::Field* stored =
          exactly(p.get(), &ModelClasses::snib) ? stored_pivot_field<F>(p.get(), field) : nullptr) {
    if constexpr (std::is_same_v<core::pivot_field_type<F>, int64_t>) {
      if (stored->kind == record::Kind::int32) return record::at<int32_t>(p.get(), stored->offset);
    } else {
      if (stored->kind == record::Kind::float64) return record::at<double>(p.get(), stored->offset);
    }
  }
  const bool own = own_pivot_field(p.get(), field);
  Ref value = own ? get_attr(p.get(), field) : host_.attr(p.get(), field);
  if constexpr (std::is_same_v<core::pivot_field_type<F>, int64_t>)
    return host_.index(value.get());
  else
    return host_.number(value.get());
}

template <core::MavetField F>
core::mavet_field_type<F> PythonModel::window(const Window& w) const {
  PyObject* field = ctx_.str_mavet_field[static_cast<int>(F)].get();
  if (const record::Field* stored = stored_window_field<F>(w.get(), field))
    return record::at<stored_type<F>>(w.get(), stored->offset);
  Ref value =
      own_window_field(w.get(), field) ? get_attr(w.get(), field) : host_.attr(w.get(), field);
  return host_.to_value<core::info(F).kind>(value.get());
}

template <core::MavetField F>
void PythonModel::set_window(const Window& w, core::mavet_field_type<F> value) const {
  PyObject* field = ctx_.str_mavet_field[static_cast<int>(F)].get();
  if (const record::Field* stored = stored_window_field<F>(w.get(), field)) {
    using T = stored_type<F>;
    // A value the field cannot hold goes through the record's setter, which says so.
    bool fits = true;
    if constexpr (std::is_same_v<T, int32_t>)
      fits = value >= std::numeric_limits<T>::min() && value <= std::numeric_limits<T>::max();
    if (fits) {
      record::at<T>(w.get(), stored->offset) = static_cast<T>(value);
      return;
    }
  }
  Ref object = from_value<core::info(F).kind>(value);
  if (own_window_field(w.get(), field))
    py::set_attr(w.get(), field, object.get());
  else
    write_attr(w.get(), field, object.get());
}

template <core::PivotField F>
const record::Field* PythonModel::stored_pivot_field(PyObject* p, PyObject* field) const {
  KeptField& kept = pivot_fields_[static_cast<std::size_t>(F)];
  const unsigned int version = type_version(Py_TYPE(p));
  if (version != 0 && kept.version == version) return kept.stored;
  const record::Field* stored = ctx_.plain_attrs.stored_field(p, field);
  kept = KeptField{type_version(Py_TYPE(p)), stored};
  return stored;
}

template <core::MavetField F>
const record::Field* PythonModel::stored_window_field(PyObject* w, PyObject* field) const {
  constexpr record::Kind kind = std::is_same_v<stored_type<F>, bool>      ? record::Kind::boolean
                                : std::is_same_v<stored_type<F>, int32_t> ? record::Kind::int32
                                                                          : record::Kind::float64;
  if (!exactly(w, &ModelClasses::mavet)) return nullptr;
  const record::Field* stored = ctx_.plain_attrs.stored_field(w, field);
  return stored != nullptr && stored->kind == kind ? stored : nullptr;
}

}  // namespace torvex::py

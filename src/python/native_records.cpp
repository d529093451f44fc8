#include "python/native_records.hpp"

#include "python/entry.hpp"
#include "python/host_value.hpp"

namespace torvex::py {

namespace {

void put(PyObject* dict, const char* key, Ref value) {
  check_status(PyDict_SetItemString(dict, key, value.get()));
}

}  // namespace

Ref named_attr(PyObject* obj, const char* name) {
  Ref interned = Ref::steal(PyUnicode_InternFromString(name));
  return Ref::steal(PyObject_GetAttr(obj, interned.get()));
}

Ref line_dict(const core::Kerd& k) {
  Ref dict = Ref::steal(PyDict_New());
  put(dict.get(), "bar_index", from_index(k.bar_index));
  put(dict.get(), "last_bar_index", from_index(k.last_bar_index));
  put(dict.get(), "mintick", from_number(k.mintick));
  core::for_each_kerd_attr([&]<core::KerdAttr A>() {
    constexpr core::AttrInfo info = core::info(A);
    const auto& value = k.field<A>();
    if constexpr (info.kind == core::ValueKind::list) {
      Ref values = Ref::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
      for (std::size_t i = 0; i < value.size(); ++i)
        PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), from_number(value[i]).release());
      put(dict.get(), info.name.data(), std::move(values));
    } else {
      put(dict.get(), info.name.data(), from_value<info.kind>(value));
    }
  });
  return dict;
}

Ref pivot_tuple(const core::Snib& snib) {
  return Ref::steal(Py_BuildValue("(idOO)", snib.bar_index_at_pivot, snib.price,
                                  bool_object(snib.is_high), bool_object(snib.is_trending)));
}

core::Settings engine_settings_from(PyObject* obj, const Ref* names) {
  core::Settings s;
  core::for_each_setting([&]<core::Setting S>() {
    constexpr auto i = static_cast<std::size_t>(S);
    Ref value = names != nullptr ? Ref::steal(PyObject_GetAttr(obj, names[i].get()))
                                 : named_attr(obj, core::setting_info[i].name.data());
    s.field<S>() = to_setting<core::info(S).kind>(value.get());
  });
  return s;
}

}  // namespace torvex::py

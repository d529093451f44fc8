#include "python/window_model.hpp"

namespace torvex::py {

PythonModel::Key WindowModel::round_key(PyObject* price) const {
  if (PyFloat_CheckExact(price))
    if (const std::optional<double> rounded = rounded_here(PyFloat_AS_DOUBLE(price)))
      return from_number(*rounded);
  PyObject* args[2] = {engine(), price};
  return host().call_method(context().str_round_to_mintick.get(), args, 2);
}

}  // namespace torvex::py

#pragma once
// Lines built without host code. When the line class is the package's own and its base class
// is the package's own stand-in (whose initialiser only stores its eight arguments, and says
// so), storing the eight base values and then the line's fifteen attributes on a new instance
// leaves exactly what the two initialisers would: the same values, in the same order, and no
// host code run.
#include <array>
#include <span>

#include "python/ref.hpp"

namespace torvex::py {

class PlainKerdMaker {
 public:
  static constexpr std::size_t kValues = 23;  // the eight base values, then the fifteen

  // Whether instances of cls may be built that way; remembered per class version. `names` are
  // the attribute names in the order they are stored.
  bool applies(PyObject* cls, std::span<PyObject* const, kValues> names);
  // Whether reading any of those names from such an instance finds the stored value without
  // running host code: no class attribute of that name has __get__. Valid after applies().
  bool reads_plain() const { return reads_plain_; }
  // Where applies() says no only because the base initialiser is a host's own Python function:
  // that function, which the line initialiser calls as super().__init__ would, self first, and
  // after which it stores the line's fifteen attributes, none of whose names a class attribute
  // with __set__ takes; null otherwise. Valid after applies(), while the class keeps version().
  PyObject* host_init() const { return host_init_.get(); }
  unsigned int version() const { return version_; }

  static constexpr std::size_t kBaseValues = 8;

  // A new instance of cls with values[i] stored under names[i], in order.
  static Ref make(PyObject* cls, std::span<PyObject* const, kValues> names,
                  std::span<PyObject* const, kValues> values);
  // A new instance of cls as object's __new__ makes it, before any initialiser.
  static Ref blank_instance(PyTypeObject* type);
  // The class's version tag now, given one where it has none.
  unsigned int version_now(PyTypeObject* type);

 private:
  Ref init_name_;
  Ref host_init_;
  PyTypeObject* type_ = nullptr;
  unsigned int version_ = 0;
  bool applies_ = false;
  bool reads_plain_ = false;
};

// Lines made one after another share most of their values (the base values, the defaults), and
// storing a value costs a lookup of its name: a line is built from a copy of the dictionary of
// the line made before (its names in order, sharing its key table), with only the values that
// are other objects stored again. The copy is installed as the new instance's dictionary, as
// the generic store would have filled it (before 3.13; from 3.13 on, every value is stored).
// Holds the values of a line it was made from until the next such line or its end: kept for
// one engine operation.
class KerdTemplate {
 public:
  static constexpr std::size_t kValues = PlainKerdMaker::kValues;

  // As PlainKerdMaker::make, for a class PlainKerdMaker::applies() to, with the same names
  // every time.
  Ref make(PyObject* cls, std::span<PyObject* const, kValues> names,
           std::span<PyObject* const, kValues> values);

 private:
  Ref dict_;  // null: no line made yet
  PyTypeObject* type_ = nullptr;
  std::array<PyObject*, kValues> values_{};  // dict_'s, in order
};

}  // namespace torvex::py

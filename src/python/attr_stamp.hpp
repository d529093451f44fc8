#pragma once
// Whether an object's plain attributes still read what they read when its stamp was taken.
// A plain read (PlainAttrCache::get) depends on the object's class, whose version tag is
// renewed whenever the class or a base changes, and on the object's instance dictionary; a
// stamp is both, the dictionary held. Whether the dictionary changed since: before 3.12 its
// own version tag, which every change renews (read where python/cpython/ may); from 3.12 on the
// interpreter's dictionary watcher, which counts every change of a watched dictionary.
#include <cstdint>

#include "python/cpython/type_cache.hpp"
#include "python/ref.hpp"

namespace torvex::py {

// The class's version tag, or 0 when it has none that is current (python/cpython/type_cache.hpp).
inline unsigned int type_version(PyTypeObject* type) noexcept {
  return cpython::type_version(type);
}

// The dictionary watcher of one module (3.12 and later; before, each dictionary's version tag).
// Without a free watcher no dictionary is watched and no stamp is ever taken.
class DictWatch {
 public:
  DictWatch() noexcept;
  ~DictWatch();
  DictWatch(const DictWatch&) = delete;
  DictWatch& operator=(const DictWatch&) = delete;

  // Makes changes of obj's instance dictionary `dict` count from now on; false where they
  // cannot be told.
  bool watch(PyObject* obj, PyObject* dict) const;
  // Advances with every change of every watched dictionary (3.12 and later).
  static uint64_t changes() noexcept;

 private:
  mutable bool tried_ = false;
  mutable int id_ = -1;
};

class AttrStamp {
 public:
  // Stamps obj as it is now; false, with no stamp, when what it reads cannot be told this way
  // (no version tag, no exact instance dictionary, no watcher).
  bool take(PyObject* obj, const DictWatch& watch);
  // Whether obj's class and instance dictionary are still those stamped, unchanged.
  bool holds(PyObject* obj) const noexcept;
  void drop() noexcept {
    dict_ = Ref();
    type_ = nullptr;
  }

 private:
  PyTypeObject* type_ = nullptr;
  unsigned int type_version_ = 0;
  Ref dict_;
  uint64_t version_ = 0;
};

}  // namespace torvex::py

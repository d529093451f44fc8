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

// A dictionary watcher of one module (3.12 and later; before, each dictionary's version tag).
// Without a free watcher no dictionary is watched and no stamp is ever taken. Each of the
// kWatches watches of a module counts the changes of its own dictionaries.
class DictWatch {
 public:
  static constexpr int kWatches = 2;
  explicit DictWatch(int which) noexcept : which_(which) {}
  ~DictWatch();
  DictWatch(const DictWatch&) = delete;
  DictWatch& operator=(const DictWatch&) = delete;

  // Makes changes of obj's instance dictionary `dict` count from now on; false where they
  // cannot be told.
  bool watch(PyObject* obj, PyObject* dict) const;
  // Advances with every change of every dictionary this watch watches (3.12 and later).
  uint64_t changes() const noexcept;
  // Whether changes() counts: a watcher was had (3.12 and later, after a first watch).
  bool counts() const noexcept { return id_ >= 0; }

 private:
  int which_;
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
  // Whether obj's class is still the one stamped, at its version tag, and obj's instance
  // dictionary the one stamped, changed or not.
  bool same_dict(PyObject* obj) const noexcept;
  void drop() noexcept {
    dict_ = Ref();
    type_ = nullptr;
  }

 private:
  const DictWatch* watch_ = nullptr;
  PyTypeObject* type_ = nullptr;
  unsigned int type_version_ = 0;
  Ref dict_;
  uint64_t version_ = 0;
};

}  // namespace torvex::py

// Where each QuarrineBase instance's store is, and how a call finds it.
//
// QuarrineBase adds nothing to its instances' layout, so that it can stand
// beside a base that has a layout of its own (a pydantic model, a msgspec
// struct, dict, an exception) and so that the interpreter keeps its
// subclasses' attribute values inline. An instance's store is made on its
// first use, inside a holder object of its own (the private type
// quarrine._InstanceStore), which lives in one of two places:
//
//   * The side table, for an instance whose deallocation runs QuarrineBase's
//     own: QuarrineBase is on its class's chain of first bases (class
//     P(QuarrineBase), with __slots__ or without). A process-wide table by
//     the instance's address holds the holder; QuarrineBase's deallocation
//     takes it out and releases it, and its traverse and clear show it to
//     the collector. A call finds it in a few instructions.
//   * The instance's __dict__, for any other instance (a class whose first
//     base brings its own deallocation: class Order(QuarrineBase,
//     pydantic.BaseModel), class M(Mixin, QuarrineBase)). The holder is the
//     attribute `__quarrine_store__` (QuarrineBase's class attribute of that
//     name is None) and goes with the dict. It knows its owner, by address
//     and, where the owner supports them, by a weak reference, so that a
//     holder that a copied dict carries into another instance is never taken
//     for that instance's own; it pickles and copies as None.
//
// An instance that has neither place (no __dict__, and a class that does not
// run QuarrineBase's deallocation) cannot keep a cache: its first cached call
// raises TypeError saying what to change.
//
// An entry of the side table exists only while the instance's class runs
// QuarrineBase's deallocation, so an address is never found again after its
// object is gone: a __class__ assignment to a class that does not run it
// drops the instance's store (note_class_changed).
#pragma once

#include "instance_store.hpp"
#include "process_state.hpp"
#include "py_ref.hpp"

namespace quarrine {

// The object that owns one instance's store: a Python object, so that the
// collector sees the store's references wherever the holder is kept.
struct StoreHolder {
  PyObject_HEAD
  InstanceStore store;
  PyObject* owner;  // borrowed: the instance, which keeps the holder (not the reverse)
  Ref owner_ref;    // a weak reference to it, for a holder in a dict, where it has them
};

// A store in use: the holder, and a reference to it where the instance's
// dict could let it go while it is used.
class StoreHandle {
 public:
  StoreHandle() noexcept = default;
  explicit StoreHandle(StoreHolder* holder, Ref keep = Ref()) noexcept
      : holder_(holder), keep_(std::move(keep)) {}

  explicit operator bool() const noexcept { return holder_ != nullptr; }
  InstanceStore& operator*() const noexcept { return holder_->store; }
  InstanceStore* operator->() const noexcept { return &holder_->store; }
  // The holder, borrowed, for whoever must keep the store beyond this use.
  PyObject* holder() const noexcept { return reinterpret_cast<PyObject*>(holder_); }

 private:
  StoreHolder* holder_ = nullptr;
  Ref keep_;
};

StoreHandle find_or_make_store(PyObject* instance);

// The store of `instance`, made on its first use; an empty handle when
// `instance` is no QuarrineBase instance. TypeError when it is one that
// cannot keep a cache.
inline StoreHandle store_of(PyObject* instance) {
  if (StoreHolder* holder = process_state().side_stores.find(instance)) {
    return StoreHandle(holder);
  }
  return find_or_make_store(instance);
}

// QuarrineBase's part in an instance's end and in the collector's work, for
// an instance whose store is in the side table: the store is taken out and
// released after the call (dealloc, clear), or visited (traverse).
Ref take_side_store(PyObject* instance) noexcept;
int visit_side_store(PyObject* instance, visitproc visit, void* arg) noexcept;

// After `instance`'s __class__ was assigned: a store in the side table is
// dropped where the new class does not run QuarrineBase's deallocation.
// The holder is handed back, for the caller to release.
Ref note_class_changed(PyObject* instance) noexcept;

// The name of the attribute that holds a store in an instance's dict.
PyObject* store_attribute_name();

}  // namespace quarrine

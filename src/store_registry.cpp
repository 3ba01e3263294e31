// Where instances' stores are. See store_registry.hpp.
#include "store_registry.hpp"

#include "py_introspection_utils/host_services.hpp"

#include <iterator>
#include <new>
#include <utility>
#include <vector>

// PyWeakref_GetObject is deprecated from 3.13 on, where PyWeakref_GetRef
// takes its place; the 3.11 and 3.12 builds have only the first.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

namespace quarrine {

namespace {

StoreHolder* as_holder(PyObject* object) { return reinterpret_cast<StoreHolder*>(object); }

// ----------------------------------------------------------- the holder

// What the stores torn down on this thread still have to release. The
// outermost teardown releases it node by node; a teardown that those
// releases cause (the next instance of a chain held through stored results)
// adds its nodes here instead of releasing them in a nested call, so a chain
// of any length is released without native recursion.
struct PendingReleases {
  bool draining = false;
  std::vector<StoredNode> nodes;
};

thread_local PendingReleases pending_releases;

void release_nodes(std::vector<StoredNode>& released) noexcept {
  PendingReleases& pending = pending_releases;
  if (pending.draining) {
    try {
      pending.nodes.insert(pending.nodes.end(), std::make_move_iterator(released.begin()),
                           std::make_move_iterator(released.end()));
    } catch (const std::bad_alloc&) {
      // No room to defer them: they are released below, one level deeper.
    }
    released.clear();
    return;
  }
  pending.draining = true;
  released.clear();
  while (!pending.nodes.empty()) {
    // Out of the list before it is released: its release may add nodes.
    StoredNode node = std::move(pending.nodes.back());
    pending.nodes.pop_back();
  }
  pending.nodes.shrink_to_fit();
  pending.draining = false;
}

int holder_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_holder(self)->owner_ref.get());
  return as_holder(self)->store.traverse(visit, arg);
}

int holder_clear(PyObject* self) noexcept {
  // Released after the store is consistent (and empty) again.
  std::vector<StoredNode> released;
  as_holder(self)->store.tear_down(released);
  Ref owner_ref = std::move(as_holder(self)->owner_ref);
  release_nodes(released);
  return 0;
}

void holder_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  StoreHolder* holder = as_holder(self);
  std::vector<StoredNode> released;
  holder->store.tear_down(released);
  Ref owner_ref = std::move(holder->owner_ref);
  holder->owner_ref.~Ref();
  holder->store.~InstanceStore();
  free_instance(self);
  release_nodes(released);
}

// A holder pickles and copies as None: a store is never part of an
// instance's state, and an instance whose dict says None makes its own.
PyObject* holder_reduce(PyObject* /*self*/, PyObject* /*unused*/) {
  return call_boundary([] {
    Ref none_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(Py_None)));
    Ref no_arguments = Ref::checked(PyTuple_New(0));
    return Ref::checked(PyTuple_Pack(2, none_type.get(), no_arguments.get()));
  });
}

PyMethodDef holder_methods[] = {
    {"__reduce__", holder_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nA store copies and pickles as None: the copy makes its own."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot holder_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(holder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(holder_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
    {Py_tp_methods, holder_methods},
    {Py_tp_doc, const_cast<char*>("The cached results of one QuarrineBase instance.")},
    {0, nullptr},
};

PyType_Spec holder_spec = {
    "quarrine._InstanceStore",
    sizeof(StoreHolder),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    holder_slots,
};

PyTypeObject* holder_type() {
  PyTypeObject*& type = process_state().store_holder_type;
  if (type == nullptr) {
    type = reinterpret_cast<PyTypeObject*>(Ref::checked(PyType_FromSpec(&holder_spec)).release());
  }
  return type;
}

// A new holder of an empty store for `owner`.
Ref new_holder(PyObject* owner) {
  PyTypeObject* type = holder_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref object = Ref::checked(alloc(type, 0));
  // Nothing between the allocation and the construction runs the collector.
  StoreHolder* holder = as_holder(object.get());
  new (&holder->store) InstanceStore();
  new (&holder->owner_ref) Ref();
  holder->owner = owner;
  return object;
}

// ------------------------------------------------------- the two places

// The deallocation of the classes that class statements make, learned from
// one such class.
destructor python_class_dealloc() {
  destructor& dealloc = process_state().python_class_dealloc;
  if (dealloc == nullptr) {
    Ref bases = Ref::checked(PyTuple_New(0));
    Ref namespace_ = Ref::checked(PyDict_New());
    Ref probe = Ref::checked(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type),
                                                   "sOO", "probe", bases.get(), namespace_.get()));
    dealloc = reinterpret_cast<destructor>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(probe.get()), Py_tp_dealloc));
  }
  return dealloc;
}

// Whether the deallocation of `type`'s instances runs QuarrineBase's: the
// deallocation of a class made by a class statement ends in that of its
// first base, up to the first class with a deallocation of its own.
bool runs_base_deallocation(PyTypeObject* type) {
  const destructor python_dealloc = python_class_dealloc();
  PyTypeObject* base_type = process_state().base_type;
  for (PyTypeObject* step = type; step != nullptr;
       step = static_cast<PyTypeObject*>(PyType_GetSlot(step, Py_tp_base))) {
    if (step == base_type) {
      return true;
    }
    if (reinterpret_cast<destructor>(PyType_GetSlot(step, Py_tp_dealloc)) != python_dealloc) {
      return false;
    }
  }
  return false;
}

// Whether the holder found in `instance`'s dict is `instance`'s own: not one
// that a copied dict brought from another instance, alive or gone.
bool owns(PyObject* instance, const StoreHolder& holder) {
  if (holder.owner != instance) {
    return false;
  }
  return !holder.owner_ref || PyWeakref_GetObject(holder.owner_ref.get()) == instance;
}

// The store that `instance`'s dict holds for it, else an empty handle.
StoreHandle store_in_dict(PyObject* instance) {
  Ref found = Ref::steal(PyObject_GenericGetAttr(instance, store_attribute_name()));
  if (!found) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      throw_python_error();
    }
    PyErr_Clear();  // the class default was deleted: as if it were None
    return StoreHandle();
  }
  if (Py_TYPE(found.get()) != holder_type() || !owns(instance, *as_holder(found.get()))) {
    return StoreHandle();
  }
  StoreHolder* holder = as_holder(found.get());
  return StoreHandle(holder, std::move(found));
}

StoreHandle new_side_store(PyObject* instance) {
  Ref holder = new_holder(instance);
  process_state().side_stores.insert(instance, as_holder(holder.get()));
  return StoreHandle(as_holder(holder.release()));  // the table owns the reference
}

[[noreturn]] void raise_no_place(PyObject* instance) {
  Ref class_name = Ref::checked(PyType_GetName(Py_TYPE(instance)));
  raise_format(PyExc_TypeError,
               "'%U' instances cannot keep cached results: the class has no __dict__, and its "
               "deallocation does not run QuarrineBase's because another base comes first; "
               "list QuarrineBase as its first base, or give it a __dict__ (add '__dict__' to "
               "its __slots__)",
               class_name.get());
}

StoreHandle new_dict_store(PyObject* instance) {
  Ref holder = new_holder(instance);
  // A weak reference tells the holder's owner from an instance that later
  // takes the address of one that is gone; without them, the address does.
  Ref owner_ref = Ref::steal(PyWeakref_NewRef(instance, nullptr));
  if (!owner_ref) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
      throw_python_error();
    }
    PyErr_Clear();
  }
  as_holder(holder.get())->owner_ref = std::move(owner_ref);
  if (PyObject_GenericSetAttr(instance, store_attribute_name(), holder.get()) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      throw_python_error();
    }
    PyErr_Clear();
    raise_no_place(instance);
  }
  StoreHolder* placed = as_holder(holder.get());
  return StoreHandle(placed, std::move(holder));
}

}  // namespace

PyObject* store_attribute_name() { return interned("__quarrine_store__"); }

StoreHandle find_or_make_store(PyObject* instance) {
  PyTypeObject* base_type = process_state().base_type;
  if (base_type == nullptr || !PyObject_TypeCheck(instance, base_type)) {
    return StoreHandle();
  }
  if (StoreHandle found = store_in_dict(instance)) {
    return found;
  }
  return runs_base_deallocation(Py_TYPE(instance)) ? new_side_store(instance)
                                                   : new_dict_store(instance);
}

Ref take_side_store(PyObject* instance) noexcept {
  return Ref::steal(reinterpret_cast<PyObject*>(process_state().side_stores.take(instance)));
}

int visit_side_store(PyObject* instance, visitproc visit, void* arg) noexcept {
  Py_VISIT(reinterpret_cast<PyObject*>(process_state().side_stores.find(instance)));
  return 0;
}

Ref note_class_changed(PyObject* instance) noexcept {
  if (process_state().side_stores.find(instance) == nullptr) {
    return Ref();
  }
  bool keeps = false;
  try {
    keeps = runs_base_deallocation(Py_TYPE(instance));
  } catch (const PyErrOccurred&) {
    PyErr_Clear();  // kept only where it is known to be found again
  }
  return keeps ? Ref() : take_side_store(instance);
}

}  // namespace quarrine

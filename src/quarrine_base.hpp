// QuarrineBase, the base class of user classes: the type whose instances
// each carry an instance store (instance_store.hpp), and the methods through
// which user code reads, changes, reports, dumps and loads that store, and
// copies and pickles instances.
//
// An instance owns its store, which lives exactly as long as the instance.
#pragma once

#include "instance_store.hpp"
#include "process_state.hpp"
#include "py_ref.hpp"

namespace quarrine {

PyTypeObject* quarrine_base_type();
// The object layout of a QuarrineBase instance: the interpreter's header,
// then the store.
struct BaseObject {
  PyObject_HEAD
  InstanceStore store;
};

// The store of a QuarrineBase instance (of any subclass), else null.
inline InstanceStore* instance_store(PyObject* object) {
  PyTypeObject* type = process_state().base_type;
  if (type == nullptr || !PyObject_TypeCheck(object, type)) {
    return nullptr;
  }
  return &reinterpret_cast<BaseObject*>(object)->store;
}

// The node of a call of `record`'s method on `instance`, registered for it
// (with its declared dependencies) if no call registered it yet: the node
// that update_cached_value and load_cache store a value in.
NodeId registered_node(InstanceStore& store, const DecoratorRecord& record, const BoundCall& call,
                       PyObject* instance, PyThreadState* thread);

// The methods dump_cache and load_cache (quarrine_base_dump_load.cpp).
PyObject* base_dump_cache(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* base_load_cache(PyObject* self, PyObject* args, PyObject* kwargs);
// The method __reduce_ex__, for copies and pickles (quarrine_base_copy.cpp).
PyObject* base_reduce_ex(PyObject* self, PyObject* protocol);

}  // namespace quarrine

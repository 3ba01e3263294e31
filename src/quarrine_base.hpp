// QuarrineBase, the base class of user classes: the type whose instances
// each own an instance store (instance_store.hpp), made on first use and
// kept where store_registry.hpp says, and the methods through which user
// code reads, changes, reports, dumps and loads that store, and copies and
// pickles instances.
//
// QuarrineBase adds nothing to its instances' layout and has no constructor
// of its own: its instances are made and initialised as those of a plain
// class.
#pragma once

#include "instance_store.hpp"
#include "process_state.hpp"
#include "py_ref.hpp"
#include "store_registry.hpp"

namespace quarrine {

PyTypeObject* quarrine_base_type();

// The store of `self`, a QuarrineBase instance (which a method of the base
// class is called on), made on first use.
StoreHandle own_store(PyObject* self);

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

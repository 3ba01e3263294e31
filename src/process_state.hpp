// Everything the module keeps beyond the life of any one of its objects: the
// type objects, the decorator serials and the live decorators by serial,
// and the interpreter services it looked up (host_services): its modules'
// members, interned strs and the descriptors of plain functions'
// attributes. Each field says who writes it; all are written with the
// interpreter lock held.
//
// Lifetime: the state is made when the shared library is loaded, filled on
// first use with the interpreter lock held, and never destroyed. The
// interpreter may be finalised before the library is unloaded, so nothing
// here is ever released: a reference dropped after the interpreter has gone
// would touch freed memory. The Python objects belong to the interpreter
// that first used the module, which must be the main interpreter: the
// module's execution step refuses every other one (require_main_interpreter),
// so nothing a subinterpreter does can reach this state. What the module
// knows of the interpreter's exit is interpreter_exit's.
#pragma once

#include "py_ref.hpp"  // first: it brings Python.h before any standard header
#include "address_table.hpp"

#include <cstdint>
#include <unordered_map>

namespace quarrine {

struct DecoratorRecord;
struct StoreHolder;

// One data descriptor of types.FunctionType and its __get__ slot.
struct FunctionAttributeDescriptor {
  Ref descriptor;
  descrgetfunc get = nullptr;
};

// The plain function attributes that the binder reads on every call.
enum class FunctionAttribute { Code, Defaults, KeywordDefaults, Count };

struct ProcessState {
  // The types, each created on its first use by its unit (quarrine_base,
  // decorator, decorator_factory).
  PyTypeObject* base_type = nullptr;               // QuarrineBase
  PyTypeObject* decorator_type = nullptr;          // QuarrineDecorator
  PyTypeObject* manual_factory_type = nullptr;     // quarrined
  PyTypeObject* automagic_factory_type = nullptr;  // automagically_quarrined
  PyTypeObject* async_call_type = nullptr;         // QuarrineAsyncCall (async_call)
  PyTypeObject* store_holder_type = nullptr;       // _InstanceStore (store_registry)
  // The stores of the instances whose deallocation runs QuarrineBase's, by
  // the instance's address; each entry owns a reference to its holder
  // (store_registry).
  AddressTable<StoreHolder> side_stores;
  // The deallocation of classes made by class statements (store_registry).
  destructor python_class_dealloc = nullptr;
  // The last serial given to a decorator (its record's `serial`); advanced
  // by new_decorator.
  std::uint64_t decorator_serials = 0;
  // The record of every live decorator by its serial: entered by
  // new_decorator, removed by the decorator's deallocation. How a node's
  // owner, known by serial, is found while it lives. The pointers stay
  // valid while they are here: a record never moves from the decorator
  // object it was placed in, and the deallocation removes it first.
  std::unordered_map<std::uint64_t, const DecoratorRecord*> live_decorators;

  // The interpreter services, each looked up on first use by host_services.
  Ref method_type;               // types.MethodType
  newfunc method_new = nullptr;  // its tp_new
  Ref function_type;                              // types.FunctionType
  Ref sequence_abc;                               // collections.abc.Sequence
  Ref inspect_signature;                          // inspect.signature
  std::unordered_map<const char*, Ref> interned;  // by the address of the text
  FunctionAttributeDescriptor function_attributes[static_cast<int>(FunctionAttribute::Count)];
  // The namespace of the async helpers, run on first use by async_call.
  Ref async_helpers;
};

namespace detail {
// Constructed when the library is loaded; its destructor leaves the state
// alone, so the state is never destroyed.
union ProcessStateStorage {
  ProcessStateStorage() : state() {}
  ~ProcessStateStorage() {}
  ProcessState state;
};
extern ProcessStateStorage process_state_storage;
}  // namespace detail

inline ProcessState& process_state() noexcept { return detail::process_state_storage.state; }

// ImportError unless the calling thread runs in the main interpreter.
void require_main_interpreter();

}  // namespace quarrine

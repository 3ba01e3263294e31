// The record of a QuarrineDecorator: what a decorated method is, as the
// cached call protocol, the base class's queries and its dump and load read
// it, with the function's metadata that the decorator presents as its own;
// the layout of the decorator object that holds it; and how a record is
// found from a decorator object or from its serial. The decorator owns its
// record and, through it, the function, its metadata, the call keys of the
// declared dependencies and the binder.
#pragma once

#include "py_introspection_utils/call_binder.hpp"
#include "py_introspection_utils/call_key.hpp"
#include "py_ref.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quarrine {

struct DecoratorRecord {
  std::vector<CallKey> dependency_keys;  // in declaration order, duplicates kept
  std::string method_name;               // the function's __name__ at decoration
  Ref method_name_object;                // the same, as an interned str
  Ref func;                              // the decorated function itself
  // The function's __qualname__, __module__ and __doc__ at decoration, as
  // functools.update_wrapper copies them; each empty where the function had
  // none (the decorator then shows its type's own, or no attribute).
  Ref qualname;
  Ref module;
  Ref doc;
  bool use_cache = true;
  bool track_runtime_dependencies = false;
  bool serialisable = false;
  // The declared dependencies were read from the method's source: only those
  // that name cached methods of the instance's class count.
  bool dependencies_from_source = false;
  // The function is a coroutine function: a call returns an awaitable, and
  // what is stored is the awaited result.
  bool is_coroutine = false;
  std::unique_ptr<CallBinder> binder;  // binds calls of `func`
  // A number that no other decorator of the process has: the nodes of an
  // instance's store name their owner by it.
  std::uint64_t serial = 0;

  // The only fields that change after the decorator is made.
  // The names under which classes hold the decorator (interned strs, from
  // __set_name__); none when it was put into a class by assignment.
  std::vector<Ref> attribute_names;
  // Whether the warning about a declared dependency that was never computed
  // was given for this method (once per process).
  bool warned_uncomputed_dependency = false;
};

// The decorator object: the interpreter's header, with the limited API of
// 3.12 the entry point of its vectorcall (at the offset that the type's
// __vectorcalloffset__ names), then the record.
struct DecoratorHead {
  PyObject_HEAD
#if Py_LIMITED_API + 0 >= 0x030C0000
  vectorcallfunc vectorcall;
#endif
};
struct DecoratorObject {
  DecoratorHead head;
  DecoratorRecord record;
};

// The record of a decorator, else null. Borrowed: the decorator object keeps
// it alive.
DecoratorRecord* decorator_record(PyObject* object);
// The record of the live decorator with this serial, else null. Borrowed:
// valid until the decorator is deallocated, which running Python code can
// cause.
const DecoratorRecord* live_decorator(std::uint64_t serial);
// Enters a record that was just placed in its decorator into the table of
// live decorators, and takes it out when its decorator goes.
void enlist_decorator(const DecoratorRecord& record);
void delist_decorator(const DecoratorRecord& record) noexcept;

}  // namespace quarrine

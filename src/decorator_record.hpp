// The record of a QuarrineDecorator: what a decorated method is, as the
// cached call protocol and the base class's dump and load read it, and the
// function's metadata that the decorator presents as its own. The record is
// immutable once its decorator is made; the decorator owns it and, through
// it, the function, its metadata, the call keys of the declared dependencies
// and the binder. The decorator unit (decorator.hpp) finds the record of a
// decorator object.
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
  std::unique_ptr<CallBinder> binder;  // binds calls of `func`
  // A number that no other decorator of the process has: the nodes of an
  // instance's store name their owner by it.
  std::uint64_t serial = 0;
  // How many decorators alive, this one included, bear the method's name:
  // while it is one, the class can resolve no other owner of its nodes.
  // Counted from the decorator's making to its deallocation. Points into the
  // process state's per-name counts, whose entries never move or go away
  // (process_state.hpp).
  std::uint32_t* namesakes = nullptr;
};

}  // namespace quarrine

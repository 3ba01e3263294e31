// The module definition of `quarrine` and its execution step, which binds
// the public types in the module, lists them in __all__ and sets
// __version__ (QUARRINE_VERSION, which the build takes from pyproject.toml).
#include "lib.hpp"

#include "decorator_factory.hpp"
#include "process_state.hpp"
#include "py_introspection_utils/host_services.hpp"
#include "quarrine_base.hpp"

namespace quarrine {

namespace {

// Appends `name` to the module's __all__ (made on first use), then binds
// `type` under it.
void add_member(PyObject* module, const char* name, PyTypeObject* type) {
  Ref all = attribute_if_present(module, "__all__");
  if (!all) {
    all = Ref::checked(PyList_New(0));
    require(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  Ref member_name = Ref::checked(PyUnicode_FromString(name));
  require(PyList_Append(all.get(), member_name.get()));
  require(PyObject_SetAttr(module, member_name.get(), reinterpret_cast<PyObject*>(type)));
}

int module_exec(PyObject* module) {
  return status_boundary([&] {
    require_main_interpreter();
    if (!PyModule_Check(module)) {
      raise_error(PyExc_TypeError, "the quarrine execution step needs a module object");
    }
    require(watch_interpreter_exit());
    require(PyModule_AddStringConstant(module, "__version__", QUARRINE_VERSION));
    add_member(module, "QuarrineBase", quarrine_base_type());
    add_member(module, "quarrined", manual_factory_type());
    add_member(module, "automagically_quarrined", automagic_factory_type());
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

const char module_doc[] =
    "Per-instance caching of method results, with a dependency graph.\n"
    "\n"
    "Subclass QuarrineBase and decorate its methods with quarrined() or\n"
    "automagically_quarrined(). Each call's result is stored in the instance,\n"
    "keyed by its bound arguments, together with the cached calls it was\n"
    "computed from. update_cached_value() replaces one result and makes\n"
    "everything computed from it, transitively, recompute at its next call;\n"
    "get_dependency_graph() and get_validation_state() show the graph.\n"
    "\n"
    "More: the README, which is also the package's description\n"
    "(importlib.metadata.metadata('quarrine')['Description']).";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quarrine", module_doc, 0, nullptr, module_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace

}  // namespace quarrine

PyMODINIT_FUNC PyInit_quarrine(void) { return PyModuleDef_Init(&quarrine::module_def); }

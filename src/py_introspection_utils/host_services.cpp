// The interpreter services the module keeps. See host_services.hpp.
#include "py_introspection_utils/host_services.hpp"

#include <utility>

namespace quarrine {

namespace {

Ref import_attribute(const char* module_name, const char* attribute) {
  Ref module = Ref::checked(PyImport_ImportModule(module_name));
  return Ref::checked(PyObject_GetAttrString(module.get(), attribute));
}

// Fills `slot` once; a concurrent first use that lost the race drops its copy.
PyObject* lookup_once(Ref& slot, const char* module_name, const char* attribute) {
  if (!slot) {
    Ref found = import_attribute(module_name, attribute);
    if (!slot) {
      slot = std::move(found);
    }
  }
  return slot.get();
}

}  // namespace

PyObject* function_type() {
  return lookup_once(process_state().function_type, "types", "FunctionType");
}

PyObject* inspect_signature() {
  return lookup_once(process_state().inspect_signature, "inspect", "signature");
}

PyObject* interned(const char* text) {
  auto& table = process_state().interned;
  auto found = table.find(text);
  if (found != table.end()) {
    return found->second.get();
  }
  Ref name = Ref::checked(PyUnicode_InternFromString(text));
  PyObject* result = name.get();
  table.emplace(text, std::move(name));
  return result;
}

PyObject* method_type() { return lookup_once(process_state().method_type, "types", "MethodType"); }

PyObject* sequence_abc() {
  return lookup_once(process_state().sequence_abc, "collections.abc", "Sequence");
}

Ref attribute_if_present(PyObject* object, PyObject* name) {
  Ref value = Ref::steal(PyObject_GetAttr(object, name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      throw_python_error();
    }
    PyErr_Clear();
  }
  return value;
}

Ref attribute_if_present(PyObject* object, const char* name) {
  Ref name_object = Ref::checked(PyUnicode_FromString(name));
  return attribute_if_present(object, name_object.get());
}

Ref new_bound_method(PyObject* function, PyObject* instance) {
  ProcessState& services = process_state();
  if (services.method_new == nullptr) {
    auto* type = reinterpret_cast<PyTypeObject*>(method_type());
    services.method_new = reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
    if (services.method_new == nullptr) {
      throw_python_error();
    }
  }
  auto* type = reinterpret_cast<PyTypeObject*>(services.method_type.get());
  Ref arguments = Ref::checked(PyTuple_Pack(2, function, instance));
  return Ref::checked(services.method_new(type, arguments.get(), nullptr));
}

const FunctionAttributeDescriptor& look_up_function_attribute(FunctionAttribute attribute) {
  static const char* const names[] = {"__code__", "__defaults__", "__kwdefaults__"};
  FunctionAttributeDescriptor& slot =
      process_state().function_attributes[static_cast<int>(attribute)];
  if (slot.get == nullptr) {
    Ref type_dict = Ref::checked(PyObject_GetAttrString(function_type(), "__dict__"));
    Ref name = Ref::checked(PyUnicode_FromString(names[static_cast<int>(attribute)]));
    Ref descriptor = Ref::checked(PyObject_GetItem(type_dict.get(), name.get()));
    auto get =
        reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(descriptor.get()), Py_tp_descr_get));
    if (get == nullptr) {
      raise_error(PyExc_SystemError, "a function attribute has no descriptor");
    }
    slot.descriptor = std::move(descriptor);
    slot.get = get;
  }
  return slot;
}

}  // namespace quarrine

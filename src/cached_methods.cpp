// The cached methods of a class. See cached_methods.hpp.
#include "cached_methods.hpp"

#include "arguments.hpp"
#include "py_introspection_utils/host_services.hpp"

#include <unordered_set>

namespace quarrine {

namespace {

// Calls visit(name, value) for each attribute that the classes of the
// instance's MRO define, the first definer of each name only, until visit
// returns true.
template <class Visit>
void visit_class_attributes(PyObject* instance, Visit&& visit) {
  Ref mro =
      Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(instance)), "__mro__"));
  Ref classes = Ref::checked(PySequence_List(mro.get()));
  std::unordered_set<std::string> met;
  for (Py_ssize_t i = 0; i < PyList_Size(classes.get()); ++i) {
    Ref namespace_ =
        Ref::checked(PyObject_GetAttrString(PyList_GetItem(classes.get(), i), "__dict__"));
    Ref items = Ref::checked(PyObject_CallMethod(namespace_.get(), "items", nullptr));
    Ref iterator = Ref::checked(PyObject_GetIter(items.get()));
    while (Ref pair = Ref::steal(PyIter_Next(iterator.get()))) {
      Ref name = Ref::checked(PySequence_GetItem(pair.get(), 0));
      Ref value = Ref::checked(PySequence_GetItem(pair.get(), 1));
      if (PyUnicode_Check(name.get()) && met.insert(std::string(text_of(name.get()))).second &&
          visit(name.get(), value.get())) {
        return;
      }
    }
    if (PyErr_Occurred() != nullptr) {
      throw_python_error();
    }
  }
}

// AttributeError: the class has no cached method of that name; the nearest
// one's name, by difflib, when there is one near enough.
[[noreturn]] void raise_no_cached_method(PyObject* instance, PyObject* method_name,
                                         PyObject* known_names) {
  Ref difflib = Ref::checked(PyImport_ImportModule("difflib"));
  Ref nearest = Ref::checked(PyObject_CallMethod(difflib.get(), "get_close_matches", "OOi",
                                                 method_name, known_names, 1));
  Ref class_name = Ref::checked(PyType_GetName(Py_TYPE(instance)));
  if (PyList_Size(nearest.get()) > 0) {
    raise_format(PyExc_AttributeError, "'%U' has no cached method '%U'; did you mean '%U'?",
                 class_name.get(), method_name, PyList_GetItem(nearest.get(), 0));
  }
  raise_format(PyExc_AttributeError, "'%U' has no cached method '%U'", class_name.get(),
               method_name);
}

// Whether the record's method is named `method_name`.
bool is_named(const DecoratorRecord& record, PyObject* method_name) {
  return PyUnicode_Compare(record.method_name_object.get(), method_name) == 0;
}

// The decorator that a class attribute is, or that a property made of it
// reads through; else an empty handle.
Ref cached_method_in(PyObject* value) {
  if (decorator_record(value) != nullptr) {
    return Ref::borrow(value);
  }
  if (PyObject_TypeCheck(value, &PyProperty_Type)) {
    Ref getter = Ref::checked(PyObject_GetAttrString(value, "fget"));
    if (decorator_record(getter.get()) != nullptr) {
      return getter;
    }
  }
  return Ref();
}

}  // namespace

Ref cached_method_named(PyObject* instance, PyObject* method_name) {
  Ref attribute =
      attribute_if_present(reinterpret_cast<PyObject*>(Py_TYPE(instance)), method_name);
  Ref held = attribute ? cached_method_in(attribute.get()) : Ref();
  const DecoratorRecord* held_record = held ? decorator_record(held.get()) : nullptr;
  if (held_record != nullptr && is_named(*held_record, method_name)) {
    return held;
  }
  Ref found;
  Ref known_names = Ref::checked(PyList_New(0));
  visit_class_attributes(instance, [&](PyObject* /*name*/, PyObject* value) {
    Ref method = cached_method_in(value);
    if (!method) {
      return false;
    }
    const DecoratorRecord* record = decorator_record(method.get());
    if (is_named(*record, method_name)) {
      found = std::move(method);
      return true;
    }
    require(PyList_Append(known_names.get(), record->method_name_object.get()));
    return false;
  });
  if (found) {
    return found;
  }
  if (held_record != nullptr) {
    // The alias of a method whose calls are keyed by its function's name.
    Ref class_name = Ref::checked(PyType_GetName(Py_TYPE(instance)));
    raise_format(PyExc_AttributeError,
                 "'%U' has no cached method '%U': the cached method it holds as '%U' is named "
                 "after its function, '%U'",
                 class_name.get(), method_name, method_name,
                 held_record->method_name_object.get());
  }
  raise_no_cached_method(instance, method_name, known_names.get());
}

std::vector<std::string> serialisable_methods(PyObject* instance) {
  std::vector<std::string> found;
  visit_class_attributes(instance, [&](PyObject* name, PyObject* value) {
    std::string_view text = text_of(name);
    const DecoratorRecord* record = decorator_record(value);
    if (text.substr(0, 2) != "__" && record != nullptr && record->serialisable) {
      found.emplace_back(text);
    }
    return false;
  });
  return found;
}

}  // namespace quarrine

// Finding a decorator's record. See decorator_record.hpp.
#include "decorator_record.hpp"

#include "process_state.hpp"

namespace quarrine {

DecoratorRecord* decorator_record(PyObject* object) {
  PyTypeObject* type = process_state().decorator_type;
  if (type == nullptr || !PyObject_TypeCheck(object, type)) {
    return nullptr;
  }
  return &reinterpret_cast<DecoratorObject*>(object)->record;
}

const DecoratorRecord* live_decorator(std::uint64_t serial) {
  auto& live = process_state().live_decorators;
  auto found = live.find(serial);
  return found == live.end() ? nullptr : found->second;
}

void enlist_decorator(const DecoratorRecord& record) {
  process_state().live_decorators.emplace(record.serial, &record);
}

void delist_decorator(const DecoratorRecord& record) noexcept {
  process_state().live_decorators.erase(record.serial);
}

}  // namespace quarrine

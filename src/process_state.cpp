// The process-wide state of the module. See process_state.hpp.
#include "process_state.hpp"

namespace quarrine {

namespace detail {

ProcessStateStorage process_state_storage;

}  // namespace detail

void require_main_interpreter() {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    raise_error(PyExc_ImportError,
                "quarrine supports only the main interpreter; it cannot be imported in a "
                "subinterpreter");
  }
}

}  // namespace quarrine

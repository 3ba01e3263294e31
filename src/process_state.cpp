// The process-wide state of the module. See process_state.hpp.
#include "process_state.hpp"

namespace quarrine::detail {

ProcessStateStorage process_state_storage;

}  // namespace quarrine::detail

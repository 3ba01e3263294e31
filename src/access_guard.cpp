// The refusal of a conflicting access. See access_guard.hpp.
#include "access_guard.hpp"

namespace quarrine {

void AccessGuard::refuse(Access access) {
  raise_error(PyExc_RuntimeError,
              access == Access::Exclusive ? "Already borrowed" : "Already mutably borrowed");
}

}  // namespace quarrine

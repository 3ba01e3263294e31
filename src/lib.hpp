// The module definition of `quarrine`: its single exported entry point and
// the execution step that binds the public types in the module.
#pragma once

#include "py_ref.hpp"

PyMODINIT_FUNC PyInit_quarrine(void);

// The decorator factories `quarrined` and `automagically_quarrined`: classes
// whose instances hold decorator options and turn a function into a
// QuarrineDecorator. The automatic one, given no dependency list, reads the
// function's source for the methods it calls on self.
//
// A factory owns the keyword dicts of its dependency specifications.
#pragma once

#include "py_ref.hpp"

namespace quarrine {

PyTypeObject* manual_factory_type();     // bound in the module as `quarrined`
PyTypeObject* automagic_factory_type();  // bound as `automagically_quarrined`

}  // namespace quarrine

// __copy__ and __deepcopy__ of the identifier classes. Their values never
// change, so a copy, shallow or deep, may be the object itself.
#pragma once

#include "binding.hpp"

namespace sornquibid::py {

// Serves both: METH_NOARGS passes a null second argument, METH_O the memo
// (positional only, as METH_O is).
inline PyObject* copy_self(PyObject* self, PyObject*) { return Py_NewRef(self); }

inline constexpr PyMethodDef kCopyMethod = {"__copy__", copy_self, METH_NOARGS,
                                            "__copy__($self)\n--\n\n"};
inline constexpr PyMethodDef kDeepcopyMethod = {"__deepcopy__", copy_self, METH_O,
                                                "__deepcopy__($self, memo, /)\n--\n\n"};

}  // namespace sornquibid::py

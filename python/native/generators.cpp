// Identifier generators: the classes SornIdGenerator and QuibIdGenerator.
#include "native.hpp"

namespace sornquibid::py::native {

bool add_generators(PyObject*) { return true; }

}  // namespace sornquibid::py::native

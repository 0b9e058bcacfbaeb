// The Python classes of the module: their instance layouts, type objects and
// constructors from core values, shared between the units of python/.
#pragma once

#include "binding.hpp"
#include "sorn.hpp"

namespace sornquibid::py {

// An instance is the object header followed by the stored value only.
struct SornIdObject {
    PyObject_HEAD
    std::int64_t value;
};

extern PyTypeObject SornIdType;

inline PyObject* new_sorn_id(std::int64_t value) {
    auto* obj = alloc_instance<SornIdObject>(&SornIdType);
    if (obj != nullptr) obj->value = value;
    return reinterpret_cast<PyObject*>(obj);
}

inline std::int64_t sorn_value(PyObject* obj) {
    return reinterpret_cast<SornIdObject*>(obj)->value;
}

// Adds the members of the `mssql_schema` submodule, in order.
bool populate_mssql_schema(PyObject* submodule);

}  // namespace sornquibid::py

// The Python classes of the module: their instance layouts, type objects and
// constructors from core values, shared between the units of python/.
#pragma once

#include "binding.hpp"
#include "precision.hpp"
#include "quib.hpp"
#include "quib_desc.hpp"
#include "sorn.hpp"
#include "sorn_desc.hpp"

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

struct QuibIdObject {
    PyObject_HEAD
    QuibId value;
};

extern PyTypeObject QuibIdType;

inline PyObject* new_quib_id(const QuibId& value) {
    auto* obj = alloc_instance<QuibIdObject>(&QuibIdType);
    if (obj != nullptr) obj->value = value;
    return reinterpret_cast<PyObject*>(obj);
}

inline const QuibId& quib_value(PyObject* obj) {
    return reinterpret_cast<QuibIdObject*>(obj)->value;
}

struct SornIdDescObject {
    PyObject_HEAD
    std::int64_t value;
};

extern PyTypeObject SornIdDescType;

inline PyObject* new_sorn_id_desc(std::int64_t value) {
    auto* obj = alloc_instance<SornIdDescObject>(&SornIdDescType);
    if (obj != nullptr) obj->value = value;
    return reinterpret_cast<PyObject*>(obj);
}

inline SornIdDesc sorn_desc_value(PyObject* obj) {
    return SornIdDesc{reinterpret_cast<SornIdDescObject*>(obj)->value};
}

struct QuibIdDescObject {
    PyObject_HEAD
    QuibIdDesc value;
};

extern PyTypeObject QuibIdDescType;

inline PyObject* new_quib_id_desc(const QuibIdDesc& value) {
    auto* obj = alloc_instance<QuibIdDescObject>(&QuibIdDescType);
    if (obj != nullptr) obj->value = value;
    return reinterpret_cast<PyObject*>(obj);
}

inline const QuibIdDesc& quib_desc_value(PyObject* obj) {
    return reinterpret_cast<QuibIdDescObject*>(obj)->value;
}

// The short text of a precision ("us", "ns", "ps", "fs") as a new reference
// to an interned str created once per process.
PyObject* precision_str(Precision precision);

// The text of a 128-bit identifier as a str.
PyObject* new_quib_text(const std::uint8_t (&bytes)[16]);

// uuid.UUID(text of the bytes), importing "uuid" on every call.
PyObject* new_uuid(const std::uint8_t (&bytes)[16]);

// Adds the members of the `mssql_schema` submodule, in order.
bool populate_mssql_schema(PyObject* submodule);

}  // namespace sornquibid::py

// The extension module _sornquibid: its definition, execution slot and body.
#include "types.hpp"

namespace sornquibid::py {
namespace {

// Registers the classes, then builds and attaches the mssql_schema submodule,
// stopping at the first failure.
bool module_body(PyObject* module) {
    if (!register_type(module, &SornIdType)) return false;
    if (!register_type(module, &QuibIdType)) return false;
    if (!register_type(module, &SornIdDescType)) return false;
    if (!register_type(module, &QuibIdDescType)) return false;

    Ref submodule(PyModule_New("mssql_schema"));
    if (!submodule) return false;
    if (!populate_mssql_schema(submodule.get())) return false;
    Ref name(PyModule_GetNameObject(submodule.get()));
    if (!name) return false;
    const char* attr = PyUnicode_AsUTF8(name.get());
    if (attr == nullptr) return false;
    return add_to_module(module, attr, std::move(submodule));
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "_sornquibid can only initialise a module object");
        return -1;
    }
    return module_body(module) ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_sornquibid",  // m_name
    "",             // m_doc
    0,              // m_size
    nullptr,        // m_methods
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace
}  // namespace sornquibid::py

PyMODINIT_FUNC PyInit__sornquibid(void) { return PyModuleDef_Init(&sornquibid::py::module_def); }

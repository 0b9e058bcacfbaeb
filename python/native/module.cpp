// The extension module sornquibid._native: its definition and execution slot.
#include <cstring>

#include "native.hpp"

namespace sornquibid::py::native {

Classes classes;

namespace {

// The class `name` of _sornquibid, checked to be the type whose instances
// are laid out as `Obj`.
template <class Obj>
PyTypeObject* class_of(PyObject* extension, const char* name) {
    Ref found(PyObject_GetAttrString(extension, name));
    if (!found) return nullptr;
    if (!PyType_Check(found.get())) {
        PyErr_Format(PyExc_ImportError, "_sornquibid.%s is not a class", name);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(found.get());
    if (std::strcmp(type->tp_name, name) != 0 ||
        type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(Obj))) {
        PyErr_Format(PyExc_ImportError,
                     "_sornquibid.%s does not match sornquibid._native: "
                     "the two come from different builds",
                     name);
        return nullptr;
    }
    // The type objects are static in _sornquibid, which is never unloaded.
    return type;
}

// _sornquibid's PanicException, which the extension makes on first use and
// does not export: a trigger for no column pairs raises it before anything
// else is looked at.
bool adopt_panic_exception(PyObject* extension) {
    Ref schema(PyObject_GetAttrString(extension, "mssql_schema"));
    if (!schema) return false;
    Ref result(PyObject_CallMethod(schema.get(), "mssql_install_autofill_trigger_for_table",
                                   "s[]s", "t", "sorn"));
    if (result) {
        PyErr_SetString(PyExc_ImportError, "_sornquibid raised no PanicException");
        return false;
    }
    PyObject* type = PyErr_Occurred();
    if (type == nullptr || !PyType_Check(type) ||
        std::strcmp(reinterpret_cast<PyTypeObject*>(type)->tp_name,
                    "PanicException") != 0) {
        return false;  // another failure (MemoryError, say): it stands
    }
    Ref kept = Ref::borrow(type);
    PyErr_Clear();
    set_panic_exception_type(kept.release());
    return true;
}

bool module_body(PyObject* module) {
    if (classes.sorn == nullptr) {
        Ref extension(PyImport_ImportModule("_sornquibid"));
        if (!extension) return false;
        Classes found;
        found.sorn = class_of<SornIdObject>(extension.get(), "SornId");
        if (found.sorn == nullptr) return false;
        found.quib = class_of<QuibIdObject>(extension.get(), "QuibId");
        if (found.quib == nullptr) return false;
        found.sorn_desc = class_of<SornIdDescObject>(extension.get(), "SornIdDesc");
        if (found.sorn_desc == nullptr) return false;
        found.quib_desc = class_of<QuibIdDescObject>(extension.get(), "QuibIdDesc");
        if (found.quib_desc == nullptr) return false;
        if (!adopt_panic_exception(extension.get())) return false;
        classes = found;
    }
    // __all__ exists even while no unit adds anything.
    Ref all(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
    return add_generators(module) && add_columns(module) && add_lines(module);
}

int module_exec(PyObject* module) { return module_body(module) ? 0 : -1; }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sornquibid._native",  // m_name
    "Native helpers of the sornquibid package: identifier generators and column kernels.",
    0,             // m_size
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace
}  // namespace sornquibid::py::native

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&sornquibid::py::native::module_def);
}

// The extension module sornquibid._native: the package's native helpers
// (identifier generators, column kernels), beside _sornquibid rather than in
// it, so that _sornquibid keeps exactly its own members.
//
// Its functions return instances of _sornquibid's classes. It does not define
// them again: at import it takes the four type objects from _sornquibid
// (built from the same sources, so their instance layouts are those of
// types.hpp, which is checked) and allocates instances of them directly.
#pragma once

#include "types.hpp"

namespace sornquibid::py::native {

// _sornquibid's classes, set once when the module is first executed and kept
// for the process (the type objects are static and never freed).
struct Classes {
    PyTypeObject* sorn = nullptr;
    PyTypeObject* quib = nullptr;
    PyTypeObject* sorn_desc = nullptr;
    PyTypeObject* quib_desc = nullptr;
};

extern Classes classes;

inline PyObject* make_sorn_id(std::int64_t value) {
    auto* obj = alloc_instance<SornIdObject>(classes.sorn);
    if (obj != nullptr) obj->value = value;
    return reinterpret_cast<PyObject*>(obj);
}

inline PyObject* make_sorn_id_desc(std::int64_t value) {
    auto* obj = alloc_instance<SornIdDescObject>(classes.sorn_desc);
    if (obj != nullptr) obj->value = value;
    return reinterpret_cast<PyObject*>(obj);
}

inline PyObject* make_quib_id(const QuibId& value) {
    auto* obj = alloc_instance<QuibIdObject>(classes.quib);
    if (obj != nullptr) obj->value = value;
    return reinterpret_cast<PyObject*>(obj);
}

inline PyObject* make_quib_id_desc(const QuibIdDesc& value) {
    auto* obj = alloc_instance<QuibIdDescObject>(classes.quib_desc);
    if (obj != nullptr) obj->value = value;
    return reinterpret_cast<PyObject*>(obj);
}

// Exact-class checks (the classes are final).
inline bool is_sorn_id(PyObject* obj) noexcept { return Py_TYPE(obj) == classes.sorn; }
inline bool is_sorn_id_desc(PyObject* obj) noexcept { return Py_TYPE(obj) == classes.sorn_desc; }
inline bool is_quib_id(PyObject* obj) noexcept { return Py_TYPE(obj) == classes.quib; }
inline bool is_quib_id_desc(PyObject* obj) noexcept { return Py_TYPE(obj) == classes.quib_desc; }

// Releases the interpreter lock for its lifetime.
class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// kernel(), without the interpreter lock unless `keep_lock`.
template <class Kernel>
auto run_kernel(bool keep_lock, Kernel&& kernel) {
    if (keep_lock) return kernel();
    Unlocked unlocked;
    return kernel();
}

// A module function of the fast calling convention with keywords.
template <class F>
PyMethodDef method(const char* name, F fn, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// Adds the functions `defs` (static, kept for the process) to the module.
template <std::size_t N>
bool add_functions(PyObject* module, PyMethodDef (&defs)[N]) {
    Ref name(PyModule_GetNameObject(module));
    if (!name) return false;
    for (PyMethodDef& def : defs) {
        if (!add_to_module(module, def.ml_name, Ref(PyCFunction_NewEx(&def, nullptr, name.get())))) {
            return false;
        }
    }
    return true;
}

// Each unit of the module adds its members (functions, types) to it; false
// with a Python exception set.
bool add_generators(PyObject* module);
bool add_columns(PyObject* module);
bool add_lines(PyObject* module);

}  // namespace sornquibid::py::native

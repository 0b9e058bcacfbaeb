// The Python class SornId.
#include "convert.hpp"
#include "copy_methods.hpp"
#include "hash.hpp"
#include "types.hpp"
#include "value_methods.hpp"

namespace sornquibid::py {
namespace {

PyObject* sorn_vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf,
                          PyObject* kwnames) noexcept {
    static const char* const names[] = {"value"};
    PyObject* a[1];
    if (!parse_args("SornId", names, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    std::int64_t v;
    if (!to_i64(a[0], "SornId", "value", v)) return nullptr;
    auto id = SornId::from_int(v);
    if (!id) return raise_error(id.error());
    return new_sorn_id(id->value);
}

PyObject* sorn_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    // The generic call path (SornId.__new__(SornId, v)); SornId(v) itself
    // goes through vectorcall.
    return call_vectorcall_from_tuple(sorn_vectorcall, nullptr, args, kwargs);
}

void sorn_dealloc(PyObject* self) { PyObject_Free(self); }

PyObject* sorn_str(PyObject* self) {
    char buf[kMaxDecimal64];
    return new_ascii(buf, format_decimal_u63(sorn_value(self), buf));
}

PyObject* sorn_repr(PyObject* self) {
    char buf[kMaxDecimal64 + 8] = "SornId(";
    std::size_t n = 7 + format_decimal_u63(sorn_value(self), buf + 7);
    buf[n++] = ')';
    return new_ascii(buf, n);
}

Py_hash_t sorn_hash(PyObject* self) { return identifier_hash64(sorn_value(self)); }

PyObject* sorn_richcompare(PyObject* self, PyObject* other, int op) {
    if (!PyObject_TypeCheck(other, &SornIdType)) Py_RETURN_NOTIMPLEMENTED;
    return compare_values(sorn_value(self), sorn_value(other), op);
}

PyObject* sorn_from_str(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"s"};
    PyObject* a[1];
    if (!parse_args("from_str", names, args, nargs, kwnames, a)) return nullptr;
    std::string_view text;
    if (!to_utf8(a[0], "from_str", "s", text)) return nullptr;
    // A refusal copies the whole text into its message, which may exhaust
    // memory for a huge text.
    return guarded([&]() -> PyObject* {
        auto id = SornId::from_str(text);
        if (!id) return raise_error(id.error());
        return new_sorn_id(id->value);
    });
}

PyObject* sorn_as_int(PyObject* self, PyObject*) { return PyLong_FromLongLong(sorn_value(self)); }

PyObject* sorn_timestamp_ms(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(SornId{sorn_value(self)}.timestamp_ms());
}
PyObject* sorn_node_id(PyObject* self, void*) {
    return PyLong_FromLong(SornId{sorn_value(self)}.node_id());
}
PyObject* sorn_sequence(PyObject* self, void*) {
    return PyLong_FromLong(SornId{sorn_value(self)}.sequence());
}

PyMethodDef sorn_methods[] = {
    {"from_str", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sorn_from_str)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_str(s)\n--\n\n"},
    {"as_int", sorn_as_int, METH_NOARGS, "as_int($self)\n--\n\n"},
    kCopyMethod,
    kDeepcopyMethod,
    {"batch_to_quibids",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sorn_batch_to_quibids)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "batch_to_quibids(ids)\n--\n\n"},
    {"check_quibid_convertibility",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sorn_check_quibid_convertibility)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "check_quibid_convertibility(_ids)\n--\n\n"},
    sorn_from_parts_def<SornId, new_sorn_id>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sorn_getset[] = {
    {"timestamp_ms", sorn_timestamp_ms, nullptr, nullptr, nullptr},
    {"node_id", sorn_node_id, nullptr, nullptr, nullptr},
    {"sequence", sorn_sequence, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_sorn_type() {
    PyTypeObject t = blank_type("SornId", sizeof(SornIdObject));
    t.tp_dealloc = sorn_dealloc;
    t.tp_repr = sorn_repr;
    t.tp_hash = sorn_hash;
    t.tp_str = sorn_str;
    t.tp_doc = "SornId(value)\n--\n\n";
    t.tp_richcompare = sorn_richcompare;
    t.tp_methods = sorn_methods;
    t.tp_getset = sorn_getset;
    t.tp_new = sorn_new;
    t.tp_vectorcall = sorn_vectorcall;
    return t;
}

}  // namespace

PyTypeObject SornIdType = make_sorn_type();

}  // namespace sornquibid::py

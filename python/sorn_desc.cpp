// The Python class SornIdDesc.
#include "copy_methods.hpp"
#include "hash.hpp"
#include "types.hpp"
#include "value_methods.hpp"

namespace sornquibid::py {
namespace {

PyObject* desc_vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf,
                          PyObject* kwnames) noexcept {
    static const char* const names[] = {"value"};
    PyObject* a[1];
    if (!parse_args("SornIdDesc", names, args, PyVectorcall_NARGS(nargsf), kwnames, a)) {
        return nullptr;
    }
    std::int64_t v;
    if (!to_i64(a[0], "SornIdDesc", "value", v)) return nullptr;
    auto id = SornIdDesc::from_int(v);
    if (!id) return raise_error(id.error());
    return new_sorn_id_desc(id->value);
}

PyObject* desc_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    // The generic call path (SornIdDesc.__new__(SornIdDesc, v)).
    return call_vectorcall_from_tuple(desc_vectorcall, nullptr, args, kwargs);
}

void desc_dealloc(PyObject* self) { PyObject_Free(self); }

PyObject* desc_str(PyObject* self) {
    char buf[kMaxDecimal64];
    return new_ascii(buf, format_decimal_u63(sorn_desc_value(self).value, buf));
}

PyObject* desc_repr(PyObject* self) {
    char buf[kMaxDecimal64 + 12] = "SornIdDesc(";
    std::size_t n = 11 + format_decimal_u63(sorn_desc_value(self).value, buf + 11);
    buf[n++] = ')';
    return new_ascii(buf, n);
}

Py_hash_t desc_hash(PyObject* self) { return identifier_hash64(sorn_desc_value(self).value); }

PyObject* desc_richcompare(PyObject* self, PyObject* other, int op) {
    if (!PyObject_TypeCheck(other, &SornIdDescType)) Py_RETURN_NOTIMPLEMENTED;
    return compare_values(sorn_desc_value(self).value, sorn_desc_value(other).value, op);
}

PyObject* desc_from_str(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"s"};
    PyObject* a[1];
    if (!parse_args("from_str", names, args, nargs, kwnames, a)) return nullptr;
    std::string_view text;
    if (!to_utf8(a[0], "from_str", "s", text)) return nullptr;
    // A refusal copies the whole text into its message, which may exhaust
    // memory for a huge text.
    return guarded([&]() -> PyObject* {
        auto id = SornIdDesc::from_str(text);
        if (!id) return raise_error(id.error());
        return new_sorn_id_desc(id->value);
    });
}

PyObject* desc_as_int(PyObject* self, PyObject*) {
    return PyLong_FromLongLong(sorn_desc_value(self).value);
}

// The accessors check an invariant that no value can break; guarded() turns
// a breach into PanicException rather than letting it escape.
PyObject* desc_timestamp_ms(PyObject* self, void*) {
    return guarded(
        [&] { return PyLong_FromUnsignedLongLong(sorn_desc_value(self).timestamp_ms()); });
}
PyObject* desc_node_id(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromLong(sorn_desc_value(self).node_id()); });
}
PyObject* desc_sequence(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromLong(sorn_desc_value(self).sequence()); });
}

PyMethodDef desc_methods[] = {
    {"from_str", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(desc_from_str)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_str(s)\n--\n\n"},
    sorn_from_parts_def<SornIdDesc, new_sorn_id_desc>(),
    {"as_int", desc_as_int, METH_NOARGS, "as_int($self)\n--\n\n"},
    kCopyMethod,
    kDeepcopyMethod,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef desc_getset[] = {
    {"timestamp_ms", desc_timestamp_ms, nullptr, nullptr, nullptr},
    {"node_id", desc_node_id, nullptr, nullptr, nullptr},
    {"sequence", desc_sequence, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_desc_type() {
    PyTypeObject t = blank_type("SornIdDesc", sizeof(SornIdDescObject));
    t.tp_dealloc = desc_dealloc;
    t.tp_repr = desc_repr;
    t.tp_hash = desc_hash;
    t.tp_str = desc_str;
    t.tp_doc = "SornIdDesc(value)\n--\n\n";
    t.tp_richcompare = desc_richcompare;
    t.tp_methods = desc_methods;
    t.tp_getset = desc_getset;
    t.tp_new = desc_new;
    t.tp_vectorcall = desc_vectorcall;
    return t;
}

}  // namespace

PyTypeObject SornIdDescType = make_desc_type();

}  // namespace sornquibid::py

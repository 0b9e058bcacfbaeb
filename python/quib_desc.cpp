// The Python class QuibIdDesc.
#include "copy_methods.hpp"
#include "hash.hpp"
#include "types.hpp"
#include "value_methods.hpp"

namespace sornquibid::py {
namespace {

void qdesc_dealloc(PyObject* self) { PyObject_Free(self); }

PyObject* qdesc_str(PyObject* self) { return new_quib_text(quib_desc_value(self).bytes); }

PyObject* qdesc_repr(PyObject* self) {
    char buf[11 + kQuibTextLength + 1] = "QuibIdDesc(";
    quib_desc_value(self).write_text(buf + 11);
    buf[sizeof buf - 1] = ')';
    return new_ascii(buf, sizeof buf);
}

Py_hash_t qdesc_hash(PyObject* self) { return identifier_hash128(quib_desc_value(self).bytes); }

PyObject* qdesc_richcompare(PyObject* self, PyObject* other, int op) {
    if (!PyObject_TypeCheck(other, &QuibIdDescType)) Py_RETURN_NOTIMPLEMENTED;
    return compare_values(quib_desc_value(self), quib_desc_value(other), op);
}

PyObject* qdesc_from_str(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"s"};
    PyObject* a[1];
    if (!parse_args("from_str", names, args, nargs, kwnames, a)) return nullptr;
    std::string_view text;
    if (!to_utf8(a[0], "from_str", "s", text)) return nullptr;
    // A refusal copies the whole text into its message, which may exhaust
    // memory for a huge text.
    return guarded([&]() -> PyObject* {
        auto id = QuibIdDesc::from_str(text);
        if (!id) return raise_error(id.error());
        return new_quib_id_desc(*id);
    });
}

PyObject* qdesc_to_uuid(PyObject* self, PyObject*) { return new_uuid(quib_desc_value(self).bytes); }

// The accessors check an invariant that no value can break; guarded() turns
// a breach into PanicException rather than letting it escape.
PyObject* qdesc_timestamp(PyObject* self, void*) {
    return guarded([&] { return new_int_u128(quib_desc_value(self).timestamp()); });
}
PyObject* qdesc_precision(PyObject* self, void*) {
    return guarded([&] { return precision_str(quib_desc_value(self).precision()); });
}
PyObject* qdesc_node_id(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromLong(quib_desc_value(self).node_id()); });
}
PyObject* qdesc_sequence(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromLong(quib_desc_value(self).sequence()); });
}

PyMethodDef qdesc_methods[] = {
    {"from_str", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(qdesc_from_str)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_str(s)\n--\n\n"},
    quib_from_parts_def<QuibIdDesc, new_quib_id_desc>(),
    {"to_uuid", qdesc_to_uuid, METH_NOARGS, "to_uuid($self)\n--\n\n"},
    kCopyMethod,
    kDeepcopyMethod,
    from_bytes_def<QuibIdDesc, new_quib_id_desc>(),
    as_bytes_def<QuibIdDescObject>(),
    bytes_dunder_def<QuibIdDescObject>(),
    from_int_def<QuibIdDesc, new_quib_id_desc>(),
    as_int_def<QuibIdDescObject>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef qdesc_getset[] = {
    {"timestamp", qdesc_timestamp, nullptr, nullptr, nullptr},
    {"precision", qdesc_precision, nullptr, nullptr, nullptr},
    {"node_id", qdesc_node_id, nullptr, nullptr, nullptr},
    {"sequence", qdesc_sequence, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_qdesc_type() {
    PyTypeObject t = blank_type("QuibIdDesc", sizeof(QuibIdDescObject));
    t.tp_flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_dealloc = qdesc_dealloc;
    t.tp_repr = qdesc_repr;
    t.tp_hash = qdesc_hash;
    t.tp_str = qdesc_str;
    t.tp_doc = "";
    t.tp_richcompare = qdesc_richcompare;
    t.tp_methods = qdesc_methods;
    t.tp_getset = qdesc_getset;
    return t;
}

}  // namespace

PyTypeObject QuibIdDescType = make_qdesc_type();

}  // namespace sornquibid::py

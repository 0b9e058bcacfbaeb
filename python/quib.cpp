// The Python class QuibId, and the helpers it shares with QuibIdDesc.
#include "convert.hpp"
#include "copy_methods.hpp"
#include "hash.hpp"
#include "types.hpp"
#include "value_methods.hpp"

namespace sornquibid::py {

PyObject* precision_str(Precision precision) {
    // Interned once under the interpreter lock and kept for the process.
    static PyObject* texts[4] = {nullptr, nullptr, nullptr, nullptr};
    PyObject*& slot = texts[code(precision) & 3u];
    if (slot == nullptr) {
        std::string_view text = short_text(precision);
        slot = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (slot == nullptr) return nullptr;
        PyUnicode_InternInPlace(&slot);
    }
    return Py_NewRef(slot);
}

PyObject* new_quib_text(const std::uint8_t (&bytes)[16]) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(kQuibTextLength), 127);
    if (s != nullptr) format_quib_text(bytes, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(s)));
    return s;
}

PyObject* new_uuid(const std::uint8_t (&bytes)[16]) {
    static PyObject* module_name = nullptr;
    static PyObject* class_name = nullptr;
    if (interned(module_name, "uuid") == nullptr || interned(class_name, "UUID") == nullptr) {
        return nullptr;
    }
    Ref module(PyImport_Import(module_name));
    if (!module) return nullptr;
    Ref cls(PyObject_GetAttr(module.get(), class_name));
    if (!cls) return nullptr;
    Ref text(new_quib_text(bytes));
    if (!text) return nullptr;
    return PyObject_CallOneArg(cls.get(), text.get());
}

namespace {

void quib_dealloc(PyObject* self) { PyObject_Free(self); }

PyObject* quib_str(PyObject* self) { return new_quib_text(quib_value(self).bytes); }

PyObject* quib_repr(PyObject* self) {
    char buf[7 + kQuibTextLength + 1] = "QuibId(";
    quib_value(self).write_text(buf + 7);
    buf[sizeof buf - 1] = ')';
    return new_ascii(buf, sizeof buf);
}

Py_hash_t quib_hash(PyObject* self) { return identifier_hash128(quib_value(self).bytes); }

PyObject* quib_richcompare(PyObject* self, PyObject* other, int op) {
    if (!PyObject_TypeCheck(other, &QuibIdType)) Py_RETURN_NOTIMPLEMENTED;
    return compare_values(quib_value(self), quib_value(other), op);
}

PyObject* quib_from_str(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"s"};
    PyObject* a[1];
    if (!parse_args("from_str", names, args, nargs, kwnames, a)) return nullptr;
    std::string_view text;
    if (!to_utf8(a[0], "from_str", "s", text)) return nullptr;
    // A refusal copies the whole text into its message, which may exhaust
    // memory for a huge text.
    return guarded([&]() -> PyObject* {
        auto id = QuibId::from_str(text);
        if (!id) return raise_error(id.error());
        return new_quib_id(*id);
    });
}

PyObject* quib_to_uuid(PyObject* self, PyObject*) { return new_uuid(quib_value(self).bytes); }

PyObject* quib_timestamp(PyObject* self, void*) {
    return new_int_u128(quib_value(self).timestamp());
}
PyObject* quib_precision(PyObject* self, void*) {
    return precision_str(quib_value(self).precision());
}
PyObject* quib_node_id(PyObject* self, void*) { return PyLong_FromLong(quib_value(self).node_id()); }
PyObject* quib_sequence(PyObject* self, void*) {
    return PyLong_FromLong(quib_value(self).sequence());
}
PyObject* quib_timestamp_micros(PyObject* self, void*) {
    return new_int_u128(quib_value(self).timestamp_micros());
}

PyMethodDef quib_methods[] = {
    {"from_str", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quib_from_str)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_str(s)\n--\n\n"},
    {"to_uuid", quib_to_uuid, METH_NOARGS, "to_uuid($self)\n--\n\n"},
    kCopyMethod,
    kDeepcopyMethod,
    {"batch_to_sornids",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quib_batch_to_sornids)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "batch_to_sornids(ids)\n--\n\n"},
    {"check_sornid_convertibility",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quib_check_sornid_convertibility)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "check_sornid_convertibility(ids)\n--\n\n"},
    from_bytes_def<QuibId, new_quib_id>(),
    as_bytes_def<QuibIdObject>(),
    bytes_dunder_def<QuibIdObject>(),
    from_int_def<QuibId, new_quib_id>(),
    as_int_def<QuibIdObject>(),
    quib_from_parts_def<QuibId, new_quib_id>(),
    static_method("sornid_conflict_details", quib_sornid_conflict_details,
                  "sornid_conflict_details(ids)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef quib_getset[] = {
    {"timestamp", quib_timestamp, nullptr, nullptr, nullptr},
    {"precision", quib_precision, nullptr, nullptr, nullptr},
    {"node_id", quib_node_id, nullptr, nullptr, nullptr},
    {"sequence", quib_sequence, nullptr, nullptr, nullptr},
    {"timestamp_micros", quib_timestamp_micros, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_quib_type() {
    PyTypeObject t = blank_type("QuibId", sizeof(QuibIdObject));
    t.tp_flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_dealloc = quib_dealloc;
    t.tp_repr = quib_repr;
    t.tp_hash = quib_hash;
    t.tp_str = quib_str;
    t.tp_doc = "";
    t.tp_richcompare = quib_richcompare;
    t.tp_methods = quib_methods;
    t.tp_getset = quib_getset;
    return t;
}

}  // namespace

PyTypeObject QuibIdType = make_quib_type();

}  // namespace sornquibid::py

// Methods that the ascending and the descending class of one family share,
// written once over the core type: from_bytes, as_bytes, from_int and as_int
// of QuibId and QuibIdDesc, which all work on the stored bytes, and
// from_parts of all four classes.
#pragma once

#include "types.hpp"

namespace sornquibid::py {

// The identifier of 16 stored bytes, after the checks of the core's
// from_bytes (version, then variant).
template <class T, PyObject* (*New)(const T&)>
PyObject* new_from_bytes(const std::uint8_t (&bytes)[16]) {
    // A refusal's message is a heap string.
    return guarded([&]() -> PyObject* {
        auto id = T::from_bytes(bytes);
        if (!id) return raise_error(id.error());
        return New(*id);
    });
}

// from_bytes(b): any bytes-like object of exactly 16 bytes.
template <class T, PyObject* (*New)(const T&)>
PyObject* from_bytes_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static const char* const names[] = {"b"};
    PyObject* a[1];
    if (!parse_args("from_bytes", names, args, nargs, kwnames, a)) return nullptr;
    std::uint8_t bytes[16];
    if (!to_bytes16(a[0], "from_bytes", "b", bytes)) return nullptr;
    return new_from_bytes<T, New>(bytes);
}

// from_int(value): the stored bytes read as one unsigned big-endian number.
template <class T, PyObject* (*New)(const T&)>
PyObject* from_int_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"value"};
    PyObject* a[1];
    if (!parse_args("from_int", names, args, nargs, kwnames, a)) return nullptr;
    std::uint8_t bytes[16];
    if (!to_be128(a[0], "from_int", "value", bytes)) return nullptr;
    return new_from_bytes<T, New>(bytes);
}

// as_bytes() and __bytes__(): the 16 stored bytes.
template <class Obj>
PyObject* as_bytes_method(PyObject* self, PyObject*) {
    return new_bytes16(reinterpret_cast<Obj*>(self)->value.bytes);
}

// as_int(): the 16 stored bytes as one unsigned big-endian number.
template <class Obj>
PyObject* as_int_method(PyObject* self, PyObject*) {
    return new_int_be128(reinterpret_cast<Obj*>(self)->value.bytes);
}

// from_parts(timestamp, precision, node_id, sequence) of the 128-bit family:
// converts all four arguments, then judges the precision text, then the
// core checks the timestamp and node id ranges.
template <class T, PyObject* (*New)(const T&)>
PyObject* quib_from_parts_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static const char* const names[] = {"timestamp", "precision", "node_id", "sequence"};
    PyObject* a[4];
    if (!parse_args("from_parts", names, args, nargs, kwnames, a)) return nullptr;
    u128 timestamp;
    std::string_view precision_text;
    std::uint16_t node_id, sequence;
    if (!to_u128(a[0], "from_parts", "timestamp", timestamp) ||
        !to_utf8(a[1], "from_parts", "precision", precision_text) ||
        !to_u16(a[2], "from_parts", "node_id", node_id) ||
        !to_u16(a[3], "from_parts", "sequence", sequence)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        auto precision = parse_precision_argument(precision_text);
        if (!precision) return raise_value_error(precision.error());
        auto id = T::from_parts(timestamp, *precision, node_id, sequence);
        if (!id) return raise_error(id.error());
        return New(*id);
    });
}

// from_parts(timestamp_ms, node_id, sequence) of the 64-bit family: converts
// the three arguments, then the core checks timestamp, node id and sequence.
template <class T, PyObject* (*New)(std::int64_t)>
PyObject* sorn_from_parts_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static const char* const names[] = {"timestamp_ms", "node_id", "sequence"};
    PyObject* a[3];
    if (!parse_args("from_parts", names, args, nargs, kwnames, a)) return nullptr;
    std::uint64_t timestamp_ms;
    std::uint16_t node_id, sequence;
    if (!to_u64(a[0], "from_parts", "timestamp_ms", timestamp_ms) ||
        !to_u16(a[1], "from_parts", "node_id", node_id) ||
        !to_u16(a[2], "from_parts", "sequence", sequence)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        auto id = T::from_parts(timestamp_ms, node_id, sequence);
        if (!id) return raise_error(id.error());
        return New(id->value);
    });
}

// ---------------------------------------------------------------------------
// Method table entries, with their text signatures

// A static method taking METH_FASTCALL | METH_KEYWORDS arguments.
inline PyMethodDef static_method(const char* name, _PyCFunctionFastWithKeywords fn,
                                 const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}

template <class T, PyObject* (*New)(const T&)>
PyMethodDef from_bytes_def() {
    return static_method("from_bytes", from_bytes_method<T, New>, "from_bytes(b)\n--\n\n");
}
template <class T, PyObject* (*New)(const T&)>
PyMethodDef from_int_def() {
    return static_method("from_int", from_int_method<T, New>, "from_int(value)\n--\n\n");
}
template <class Obj>
PyMethodDef as_bytes_def() {
    return {"as_bytes", as_bytes_method<Obj>, METH_NOARGS, "as_bytes($self)\n--\n\n"};
}
template <class Obj>
PyMethodDef bytes_dunder_def() {
    return {"__bytes__", as_bytes_method<Obj>, METH_NOARGS, "__bytes__($self)\n--\n\n"};
}
template <class Obj>
PyMethodDef as_int_def() {
    return {"as_int", as_int_method<Obj>, METH_NOARGS, "as_int($self)\n--\n\n"};
}
template <class T, PyObject* (*New)(const T&)>
PyMethodDef quib_from_parts_def() {
    return static_method("from_parts", quib_from_parts_method<T, New>,
                         "from_parts(timestamp, precision, node_id, sequence)\n--\n\n");
}
template <class T, PyObject* (*New)(std::int64_t)>
PyMethodDef sorn_from_parts_def() {
    return static_method("from_parts", sorn_from_parts_method<T, New>,
                         "from_parts(timestamp_ms, node_id, sequence)\n--\n\n");
}

}  // namespace sornquibid::py

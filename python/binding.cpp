#include "binding.hpp"

#include <cstring>

namespace sornquibid::py {

namespace {

// The interpreter checks keyword names on most call paths but not on every
// one: a dictionary handed to __new__ directly (by copyreg or by a pickle's
// NEWOBJ_EX) may have keys of any type. Each name is checked where keywords
// enter, before it is read as a str.
bool is_keyword_name(PyObject* key) {
    if (PyUnicode_Check(key)) return true;
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
}

}  // namespace

bool parse_args_slow(const char* fname, const char* const* names, Py_ssize_t count,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given",
                     fname, count, count == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!is_keyword_name(key)) return false;
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
                         key);
            return false;
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %s() given by name ('%s') and position (%zd)", fname,
                         names[slot], slot + 1);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname,
                         names[i], i + 1);
            return false;
        }
    }
    return true;
}

PyObject* call_vectorcall_from_tuple(vectorcallfunc vectorcall, PyObject* callable, PyObject* args,
                                     PyObject* kwargs) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (nkw == 0) {
        return vectorcall(callable, &PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(nargs),
                          nullptr);
    }
    // The keyword values are held here, not borrowed from the dictionary:
    // the call may run the caller's code (an __index__), which could empty a
    // dictionary that is reachable from elsewhere.
    Ref flat(PyTuple_New(nargs + nkw));
    Ref kwnames(PyTuple_New(nkw));
    if (!flat || !kwnames) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(flat.get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (Py_ssize_t k = 0; k < nkw && PyDict_Next(kwargs, &pos, &key, &value); ++k) {
        if (!is_keyword_name(key)) return nullptr;
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        PyTuple_SET_ITEM(flat.get(), nargs + k, Py_NewRef(value));
    }
    return vectorcall(callable, &PyTuple_GET_ITEM(flat.get(), 0), static_cast<std::size_t>(nargs),
                      kwnames.get());
}

void wrong_type(PyObject* obj, const char* fname, const char* arg, const char* expected) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", fname, arg,
                 expected, Py_TYPE(obj)->tp_name);
}

namespace {

// An int, or the result of __index__; null with TypeError otherwise.
Ref as_index(PyObject* obj, const char* fname, const char* arg) {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    if (Py_TYPE(obj)->tp_as_number == nullptr || Py_TYPE(obj)->tp_as_number->nb_index == nullptr) {
        wrong_type(obj, fname, arg, "an integer");
        return Ref();
    }
    return Ref(PyNumber_Index(obj));
}

bool out_of_range(const char* fname, const char* arg, const char* width) {
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' does not fit in %s", fname, arg, width);
    return false;
}

// Reads a non-negative int of at most 64 bits; false on overflow or a
// negative value, with the error cleared.
bool read_u64(PyObject* index, std::uint64_t& out) {
    // A negative int raises OverflowError here, like one that is too large.
    unsigned long long v = PyLong_AsUnsignedLongLong(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    out = v;
    return true;
}

}  // namespace

bool to_i64(PyObject* obj, const char* fname, const char* arg, std::int64_t& out) {
    if (PyLong_CheckExact(obj)) {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {
            if (v == -1 && PyErr_Occurred()) return false;
            out = v;
            return true;
        }
        return out_of_range(fname, arg, "a signed 64-bit integer");
    }
    Ref index = as_index(obj, fname, arg);
    if (!index) return false;
    int overflow;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow != 0) return out_of_range(fname, arg, "a signed 64-bit integer");
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_u64(PyObject* obj, const char* fname, const char* arg, std::uint64_t& out) {
    Ref index = as_index(obj, fname, arg);
    if (!index) return false;
    if (!read_u64(index.get(), out)) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        return out_of_range(fname, arg, "an unsigned 64-bit integer");
    }
    return true;
}

bool to_u16(PyObject* obj, const char* fname, const char* arg, std::uint16_t& out) {
    Ref index = as_index(obj, fname, arg);
    if (!index) return false;
    std::uint64_t v;
    if (!read_u64(index.get(), v)) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        v = UINT64_MAX;
    }
    if (v > 0xFFFF) return out_of_range(fname, arg, "an unsigned 16-bit integer");
    out = static_cast<std::uint16_t>(v);
    return true;
}

bool to_be128(PyObject* obj, const char* fname, const char* arg, std::uint8_t (&out)[16]) {
    Ref index = as_index(obj, fname, arg);
    if (!index) return false;
    // Values up to 2^63 - 1 and negative ones are told apart without raising
    // anything; only the wider ones need all 16 bytes read.
    int overflow;
    long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow == 0) {
        if (small == -1 && PyErr_Occurred()) return false;
        if (small < 0) return out_of_range(fname, arg, "an unsigned 128-bit integer");
        store_be128(u128{static_cast<std::uint64_t>(small)}, out);
        return true;
    }
    if (overflow < 0) return out_of_range(fname, arg, "an unsigned 128-bit integer");
#if PY_VERSION_HEX >= 0x030D0000
    // The number of bytes the value needs; up to 16 it was written whole.
    Py_ssize_t needed = PyLong_AsNativeBytes(
        index.get(), out, 16, Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
    if (needed < 0) return false;
    if (needed > 16) return out_of_range(fname, arg, "an unsigned 128-bit integer");
#else
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(index.get()), out, 16,
                            /*little_endian=*/0, /*is_signed=*/0) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        return out_of_range(fname, arg, "an unsigned 128-bit integer");
    }
#endif
    return true;
}

bool to_u128(PyObject* obj, const char* fname, const char* arg, u128& out) {
    std::uint8_t bytes[16];
    if (!to_be128(obj, fname, arg, bytes)) return false;
    out = load_be128(bytes);
    return true;
}

namespace {

// A buffer obtained from an exporter, released on every path.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Whether the shape of a buffer covers exactly `len` bytes, so that copying
// it by its shape writes no more than that (an exporter states both).
bool shape_covers(const Py_buffer& v, Py_ssize_t len) {
    if ((v.ndim > 0 && v.shape == nullptr) || v.itemsize < 0) return false;
    Py_ssize_t n = v.itemsize;
    for (int i = 0; i < v.ndim; ++i) {
        const Py_ssize_t extent = v.shape[i];
        if (extent < 0 || (extent != 0 && n > len / extent)) return false;
        n *= extent;
    }
    return n == len;
}

bool wrong_length(Py_ssize_t len) {
    PyErr_Format(PyExc_ValueError, "expected 16 bytes, got %zd", len);
    return false;
}

}  // namespace

bool to_bytes16(PyObject* obj, const char* fname, const char* arg, std::uint8_t (&out)[16]) {
    if (PyBytes_CheckExact(obj)) {  // the common case needs no buffer request
        if (PyBytes_GET_SIZE(obj) != 16) return wrong_length(PyBytes_GET_SIZE(obj));
        std::memcpy(out, PyBytes_AS_STRING(obj), 16);
        return true;
    }
    if (!PyObject_CheckBuffer(obj)) {
        wrong_type(obj, fname, arg, "a bytes-like object");
        return false;
    }
    BufferView buffer;
    // Strides and suboffsets accepted: any exporter can serve this request.
    if (!buffer.acquire(obj, PyBUF_FULL_RO)) return false;
    const Py_buffer& view = buffer.view();
    if (view.len != 16) return wrong_length(view.len);
    if (PyBuffer_IsContiguous(&view, 'C')) {
        std::memcpy(out, view.buf, 16);
        return true;
    }
    if (!shape_covers(view, 16)) {
        PyErr_Format(PyExc_BufferError, "%s() argument '%s': buffer shape does not match its length",
                     fname, arg);
        return false;
    }
    return PyBuffer_ToContiguous(out, &view, 16, 'C') == 0;
}

bool to_utf8(PyObject* obj, const char* fname, const char* arg, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        wrong_type(obj, fname, arg, "str");
        return false;
    }
    Py_ssize_t len;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &len);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(len));
    return true;
}

PyObject* new_ascii(const char* data, std::size_t len) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(len), 127);
    if (s != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(s), data, len);
    return s;
}

PyObject* new_utf8(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* new_int_u128(u128 value) {
    if (static_cast<std::uint64_t>(value >> 64) == 0) {
        return PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(value));
    }
    std::uint8_t bytes[16];
    store_be128(value, bytes);
    return new_int_be128(bytes);
}

PyObject* new_int_be128(const std::uint8_t (&bytes)[16]) {
    // One conversion from the 16 bytes, allocating only the result.
#if PY_VERSION_HEX >= 0x030D0000
    return PyLong_FromUnsignedNativeBytes(bytes, 16, Py_ASNATIVEBYTES_BIG_ENDIAN);
#else
    return _PyLong_FromByteArray(bytes, 16, /*little_endian=*/0, /*is_signed=*/0);
#endif
}

PyObject* raise_value_error(std::string_view message) noexcept {
    Ref text(new_utf8(message));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

namespace {
// The class, once made or adopted; kept for the process.
PyObject* panic_type = nullptr;
}  // namespace

PyObject* panic_exception_type() noexcept {
    // Created once, under the interpreter lock, and kept for the process.
    // The collector is paused while the class is made: a finalizer run by a
    // collection could otherwise raise the first panic itself, and so make a
    // second class while this one is half made.
    if (panic_type == nullptr) {
        const int was_enabled = PyGC_Disable();
        panic_type = PyErr_NewException("_sornquibid.PanicException", PyExc_BaseException, nullptr);
        if (was_enabled) PyGC_Enable();
    }
    return panic_type;
}

void set_panic_exception_type(PyObject* type) noexcept {
    if (panic_type == nullptr) {
        panic_type = type;
    } else {
        Py_DECREF(type);
    }
}

PyObject* raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;
    Ref text(new_utf8(message));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

bool add_to_module(PyObject* module, const char* name, Ref value) {
    if (!value) return false;
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) return false;
    Ref key(PyUnicode_InternFromString("__all__"));
    if (!key) return false;
    Ref all = Ref::borrow(PyDict_GetItemWithError(dict, key.get()));
    if (!all) {
        if (PyErr_Occurred()) return false;
        all = Ref(PyList_New(0));
        if (!all || PyDict_SetItem(dict, key.get(), all.get()) < 0) return false;
    }
    Ref item(PyUnicode_FromString(name));
    if (!item) return false;
    if (PyList_Check(all.get())) {
        if (PyList_Append(all.get(), item.get()) < 0) return false;
    } else {
        Ref r(PyObject_CallMethod(all.get(), "append", "O", item.get()));
        if (!r) return false;
    }
    return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

bool register_type(PyObject* module, PyTypeObject* type) {
    if (!(type->tp_flags & Py_TPFLAGS_READY) && PyType_Ready(type) < 0) return false;
    return add_to_module(module, type->tp_name, Ref::borrow(reinterpret_cast<PyObject*>(type)));
}

}  // namespace sornquibid::py

// Conventions of the binding layer, shared by every class and function:
// owned-reference RAII, argument parsing and conversion, and the mapping of
// core failures to Python exceptions. This is the only place, together with
// the other files of python/, that includes Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "panic.hpp"
#include "u128.hpp"

namespace sornquibid::py {

// ---------------------------------------------------------------------------
// Reference ownership

// An owned (strong) reference. Releases it on destruction, so no error path
// can leak it; `release()` hands it over to the caller.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (which may be null, after a failed call).
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept { Py_XDECREF(std::exchange(p_, owned)); }

private:
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Argument parsing for METH_FASTCALL | METH_KEYWORDS and vectorcall: every
// parameter is positional-or-keyword and required.

bool parse_args_slow(const char* fname, const char* const* names, Py_ssize_t count,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <std::size_t N>
inline bool parse_args(const char* fname, const char* const (&names)[N], PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, PyObject* (&out)[N]) {
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
        for (std::size_t i = 0; i < N; ++i) out[i] = args[i];
        return true;
    }
    return parse_args_slow(fname, names, static_cast<Py_ssize_t>(N), args, nargs, kwnames, out);
}

// The generic call path of a class whose construction goes through
// vectorcall (Cls.__new__(Cls, ...)): flattens the tuple and dict and calls
// `vectorcall` with them.
PyObject* call_vectorcall_from_tuple(vectorcallfunc vectorcall, PyObject* callable, PyObject* args,
                                     PyObject* kwargs) noexcept;

// ---------------------------------------------------------------------------
// Argument conversion. Each returns false with a Python exception set.
// `fname` and `arg` name the function and the parameter in the message.

bool to_i64(PyObject* obj, const char* fname, const char* arg, std::int64_t& out);
bool to_u64(PyObject* obj, const char* fname, const char* arg, std::uint64_t& out);
bool to_u16(PyObject* obj, const char* fname, const char* arg, std::uint16_t& out);
bool to_u128(PyObject* obj, const char* fname, const char* arg, u128& out);
// The same range, as 16 big-endian bytes. An int, or an int subclass, is
// read by value without calling any of its methods; any other object goes
// through its __index__ once.
bool to_be128(PyObject* obj, const char* fname, const char* arg, std::uint8_t (&out)[16]);

// Any object with the buffer protocol (bytes, bytearray, memoryview, array,
// ...) whose buffer holds exactly 16 bytes, copied out in C order whether or
// not it is contiguous. Another length is a ValueError stating it.
bool to_bytes16(PyObject* obj, const char* fname, const char* arg, std::uint8_t (&out)[16]);

// A `str` only, viewed as UTF-8 (valid while `obj` lives). A str holding lone
// surrogates cannot be encoded and fails with the interpreter's
// UnicodeEncodeError.
bool to_utf8(PyObject* obj, const char* fname, const char* arg, std::string_view& out);

// Sets the TypeError for an argument of the wrong type.
void wrong_type(PyObject* obj, const char* fname, const char* arg, const char* expected);

// A sequence argument: anything passing the interpreter's sequence check
// except `str`. `reserve(n)` receives the length as a capacity hint, then
// `visit(item, index)` sees the items (borrowed) in iteration order and
// returns false, with an exception set, to fail the call. Running out of
// memory fails the call with MemoryError; a length that cannot be reserved
// (an object's __len__ may claim anything) is only a hint and is ignored.
template <class Reserve, class Visit>
bool visit_sequence_unguarded(PyObject* seq, const char* fname, const char* arg, Reserve reserve,
                              Visit visit) {
    if (PyUnicode_Check(seq) || !PySequence_Check(seq)) {
        wrong_type(seq, fname, arg, "a sequence");
        return false;
    }
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq)));
        // Each item is read afresh and held while it is visited, as iteration
        // would: a visit that allocates may run a finalizer that changes the
        // list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(seq, i));
            if (!visit(item.get(), i)) return false;
        }
        return true;
    }
    Py_ssize_t hint = PyObject_LengthHint(seq, 0);
    if (hint < 0) return false;
    // The length is only a capacity hint, and only its first items are
    // reserved on its word: an allocation of whatever a __len__ claims could
    // succeed untouched, or end the process under an allocator that aborts
    // on huge requests. One that cannot be reserved is ignored; the items
    // decide.
    constexpr std::size_t kMaxHinted = std::size_t{1} << 16;
    try {
        reserve(std::min(static_cast<std::size_t>(hint), kMaxHinted));
    } catch (const std::bad_alloc&) {  // NOLINT(bugprone-empty-catch)
    } catch (const std::length_error&) {  // NOLINT(bugprone-empty-catch)
    }
    Ref iter(PyObject_GetIter(seq));
    if (!iter) return false;
    for (Py_ssize_t i = 0;; ++i) {
        Ref item(PyIter_Next(iter.get()));
        if (!item) return !PyErr_Occurred();
        if (!visit(item.get(), i)) return false;
    }
}

template <class Reserve, class Visit>
bool visit_sequence(PyObject* seq, const char* fname, const char* arg, Reserve reserve,
                    Visit visit) noexcept {
    try {
        return visit_sequence_unguarded(seq, fname, arg, reserve, visit);
    } catch (const std::bad_alloc&) {  // NOLINT(bugprone-empty-catch): MemoryError below
    } catch (const std::length_error&) {  // NOLINT(bugprone-empty-catch): MemoryError below
    }
    PyErr_NoMemory();
    return false;
}

// A sequence argument whose items must each be exactly of `type`;
// `value_of` copies the value out of each.
template <class T, class ValueOf>
bool extract_sequence(PyObject* seq, const char* fname, const char* arg, PyTypeObject* type,
                      std::vector<T>& out, ValueOf value_of) {
    return visit_sequence(
        seq, fname, arg, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item, Py_ssize_t index) {
            if (Py_TYPE(item) != type) {
                PyErr_Format(PyExc_TypeError, "%s() argument '%s' item %zd must be %s, not %.200s",
                             fname, arg, index, type->tp_name, Py_TYPE(item)->tp_name);
                return false;
            }
            out.push_back(value_of(item));
            return true;
        });
}

// ---------------------------------------------------------------------------
// Results and failures

// The interned str `text`, made on first use and kept in the caller's static
// `slot` for the process: a borrowed reference, or null with an exception
// set (a later call tries again). Names the binding looks up are made once
// rather than per call: a lookup that fails for want of memory can leave the
// interpreter (3.11) holding the name it was given for good.
inline PyObject* interned(PyObject*& slot, const char* text) noexcept {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot;
}

// A str from ASCII bytes (the identifier text forms).
PyObject* new_ascii(const char* data, std::size_t len);
// A str from UTF-8 bytes (messages, scripts).
PyObject* new_utf8(std::string_view text);
// Python int from an unsigned 128-bit number.
PyObject* new_int_u128(u128 value);
// Python int from 16 big-endian bytes, allocating only the result.
PyObject* new_int_be128(const std::uint8_t (&bytes)[16]);
// bytes object of 16 bytes.
inline PyObject* new_bytes16(const std::uint8_t (&bytes)[16]) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), 16);
}

// The raisers below never throw, so they may be called anywhere, inside
// guarded() or not: running out of memory while building a message raises
// MemoryError instead.

// ValueError whose single argument is `message`. Always returns null.
PyObject* raise_value_error(std::string_view message) noexcept;
// ValueError with the display text of a core error (any of the core's error
// types, each of which has a display()). Always returns null.
template <class E>
PyObject* raise_error(const E& error) noexcept {
    try {
        return raise_value_error(display(error));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
// PanicException (derived from BaseException) with `message`. Returns null.
PyObject* raise_panic(std::string_view message) noexcept;
// The PanicException class, created on first use: a borrowed reference kept
// for the process, or null with an exception set.
PyObject* panic_exception_type() noexcept;
// Takes over `type` as the PanicException class, unless one is made already:
// sornquibid._native reports its panics with _sornquibid's class, which
// is the one the package exports.
void set_panic_exception_type(PyObject* type) noexcept;

// Runs a core call that may report a broken precondition (Panic) or run out
// of memory, and maps those to Python exceptions. `body` returns PyObject*.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const Panic& p) {
        return raise_panic(p.message());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    }
}

// A new list or tuple being filled in place (PyList_SET_ITEM,
// PyTuple_SET_ITEM), kept out of the garbage collector's sight until
// finish(): filling it allocates, an allocation may run a collection, and a
// finalizer run by that collection could otherwise reach the container
// through gc.get_objects() and meet an empty slot. Dropped unfinished, it
// releases the container with the items set so far.
class Filling {
public:
    // Takes over `container` (a new list or tuple, or null after a failed
    // creation).
    explicit Filling(PyObject* container) noexcept
        : ref_(container), tracked_(container != nullptr && PyObject_GC_IsTracked(container)) {
        if (tracked_) PyObject_GC_UnTrack(container);
    }
    explicit operator bool() const noexcept { return static_cast<bool>(ref_); }
    PyObject* get() const noexcept { return ref_.get(); }
    // The full container, in the collector's sight again (a shared empty
    // tuple never was), as a new reference.
    PyObject* finish() noexcept {
        if (tracked_) PyObject_GC_Track(ref_.get());
        return ref_.release();
    }

private:
    Ref ref_;
    bool tracked_;
};

// Rich comparison of two values of one class, for the six operators; any
// other operator code yields NotImplemented.
template <class T>
PyObject* compare_values(const T& a, const T& b, int op) {
    bool r;
    switch (op) {
        case Py_LT: r = a < b; break;
        case Py_LE: r = a <= b; break;
        case Py_EQ: r = a == b; break;
        case Py_NE: r = a != b; break;
        case Py_GT: r = a > b; break;
        case Py_GE: r = a >= b; break;
        default: Py_RETURN_NOTIMPLEMENTED;
    }
    return Py_NewRef(r ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------
// Module helpers

// Appends `name` to the module's `__all__` (creating the list on first use),
// then sets the attribute. Takes over `value` (which may be null, after a
// failed creation, in which case the error stands).
bool add_to_module(PyObject* module, const char* name, Ref value);

// Readies a static type once per process and adds it under its name.
bool register_type(PyObject* module, PyTypeObject* type);

// A zeroed static type object with its name, size and the flags every class
// shares: final (no base-type flag) and immutable.
inline PyTypeObject blank_type(const char* name, Py_ssize_t basicsize) {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    t.tp_free = PyObject_Free;
    return t;
}

// Allocates an instance of a non-GC, fixed-size class without running
// __new__ (the fast path of every constructor and conversion).
template <class Obj>
inline Obj* alloc_instance(PyTypeObject* type) {
    void* mem = PyObject_Malloc(sizeof(Obj));
    if (mem == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    return reinterpret_cast<Obj*>(PyObject_Init(static_cast<PyObject*>(mem), type));
}

}  // namespace sornquibid::py

// Identifier generators: the classes SornIdGenerator and QuibIdGenerator,
// and check_epoch_ms, the epoch check the package's time functions share
// with them.
//
// A generator holds its configuration, its last state and its clock. The
// arithmetic is the core's (generator.hpp); this file reads the clock, keeps
// the state and makes the objects. Under the interpreter lock the state is
// read and written with no Python code in between: an injected clock is
// called before, and the objects are made after the new state is stored. So
// two threads sharing a generator never draw the same identifier; an
// allocation that fails after the update skips identifiers, never repeats
// them.
#include <atomic>
#include <chrono>
#include <cstddef>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "generator.hpp"
#include "native.hpp"

namespace sornquibid::py::native {
namespace {

// ---------------------------------------------------------------------------
// Forks

// Bumped in the child of every fork. A generator remembers the value it was
// made under and refuses once it differs: parent and child would otherwise
// draw the same identifiers from copies of one state.
std::atomic<std::uint64_t> fork_count{0};

#if !defined(_WIN32)
extern "C" void count_fork_in_child() { fork_count.fetch_add(1, std::memory_order_relaxed); }
#endif

bool watch_forks() {
#if !defined(_WIN32)
    static bool registered = false;
    if (!registered) {
        if (pthread_atfork(nullptr, nullptr, count_fork_in_child) != 0) {
            PyErr_SetString(PyExc_ImportError, "cannot register the fork handler of the generators");
            return false;
        }
        registered = true;
    }
#endif
    return true;
}

// ---------------------------------------------------------------------------
// The objects

struct GeneratorObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // calling the generator: next()
    PyObject* clock;            // an injected clock, or null for the system clock
    GeneratorConfig config;
    GeneratorState state;
    std::uint64_t fork_count;  // at construction
};

GeneratorObject* as_generator(PyObject* self) { return reinterpret_cast<GeneratorObject*>(self); }

const char* class_name(const GeneratorObject* g) {
    return g->config.family == IdFamily::Sorn ? "SornIdGenerator" : "QuibIdGenerator";
}

bool same_process(const GeneratorObject* g) {
    if (g->fork_count == fork_count.load(std::memory_order_relaxed)) return true;
    PyErr_Format(PyExc_RuntimeError,
                 "this %s was made before the process forked, and its copy in the child would "
                 "repeat the parent's identifiers: make one generator per process, after the "
                 "fork, with its own node id",
                 class_name(g));
    return false;
}

// The clock reading, in nanoseconds since the Unix epoch: the system clock
// (what time.time_ns reads) or the injected clock's result.
bool read_clock(const GeneratorObject* g, std::int64_t& out) {
    if (g->clock == nullptr) {
        using std::chrono::duration_cast;
        using std::chrono::nanoseconds;
        out = duration_cast<nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                  .count();
        return true;
    }
    const Ref clock = Ref::borrow(g->clock);
    const Ref reading(PyObject_CallNoArgs(clock.get()));
    if (!reading) return false;
    PyObject* r = reading.get();
    if (!PyLong_Check(r)) {
        PyErr_Format(PyExc_TypeError,
                     "the clock must return an int of nanoseconds since the Unix epoch, as "
                     "time.time_ns does, not %.200s",
                     Py_TYPE(r)->tp_name);
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(r, &overflow);
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError,
                        "the clock returned a number of nanoseconds outside the signed 64-bit "
                        "range");
        return false;
    }
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

PyObject* make_id(const GeneratorObject* g, u128 position, bool desc) {
    if (g->config.family == IdFamily::Sorn) {
        const std::int64_t value = sorn_value_at(g->config, position);
        return desc ? make_sorn_id_desc(value ^ kSornDescMask) : make_sorn_id(value);
    }
    const QuibId id = quib_id_at(g->config, position);
    if (!desc) return make_quib_id(id);
    QuibIdDesc d{};
    store_be128(id.value() ^ kQuibDescMask, d.bytes);
    return make_quib_id_desc(d);
}

// Draws `count` identifiers for one clock reading: the position of the
// first, with the state updated. False with an exception set.
bool draw(GeneratorObject* g, std::int64_t clock_ns, std::uint64_t count, u128& first) {
    auto run = next_run(g->config, g->state, clock_ns, count);
    if (!run) {
        raise_error(run.error());
        return false;
    }
    g->state = run->state;
    first = run->first;
    return true;
}

PyObject* next_one(PyObject* self, bool desc) {
    auto* g = as_generator(self);
    std::int64_t clock_ns = 0;
    if (!same_process(g) || !read_clock(g, clock_ns)) return nullptr;
    u128 first;
    if (!draw(g, clock_ns, 1, first)) return nullptr;
    return make_id(g, first, desc);
}

PyObject* generator_next(PyObject* self, PyObject*) { return next_one(self, false); }

PyObject* generator_next_desc(PyObject* self, PyObject*) { return next_one(self, true); }

PyObject* generator_call(PyObject* self, PyObject* const*, std::size_t nargsf,
                         PyObject* kwnames) noexcept {
    const Py_ssize_t given =
        PyVectorcall_NARGS(nargsf) + (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
    if (given != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)",
                     class_name(as_generator(self)), given);
        return nullptr;
    }
    return next_one(self, false);
}

PyObject* generator_next_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static const char* const names[] = {"n"};
    PyObject* a[1];
    if (!parse_args("next_many", names, args, nargs, kwnames, a)) return nullptr;
    std::int64_t n = 0;
    if (!to_i64(a[0], "next_many", "n", n)) return nullptr;
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "next_many() argument 'n' must not be negative, got %lld",
                     static_cast<long long>(n));
        return nullptr;
    }
    auto* g = as_generator(self);
    if (!same_process(g)) return nullptr;
    if (n == 0) return PyList_New(0);
    std::int64_t clock_ns = 0;
    if (!read_clock(g, clock_ns)) return nullptr;
    // The list first: making it may run a collection, and with it Python code.
    Filling list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    u128 first;
    if (!draw(g, clock_ns, static_cast<std::uint64_t>(n), first)) return nullptr;
    const bool sorn = g->config.family == IdFamily::Sorn;
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(n); ++i) {
        const u128 position = first + u128{static_cast<std::uint64_t>(i)};
        PyObject* item = sorn ? make_sorn_id(sorn_value_at(g->config, position))
                              : make_quib_id(quib_id_at(g->config, position));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.finish();
}

PyObject* generator_reduce(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError,
                 "cannot pickle or copy a %s: the copy would repeat its identifiers; make one "
                 "generator per process, with its own node id",
                 class_name(as_generator(self)));
    return nullptr;
}

PyObject* get_node_id(PyObject* self, void*) {
    return PyLong_FromLong(as_generator(self)->config.node_id);
}

PyObject* get_epoch_ms(PyObject* self, void*) {
    return PyLong_FromLongLong(as_generator(self)->config.epoch_ms);
}

PyObject* get_precision(PyObject* self, void*) {
    const std::string_view unit = short_text(as_generator(self)->config.precision);
    return PyUnicode_FromStringAndSize(unit.data(), static_cast<Py_ssize_t>(unit.size()));
}

PyObject* generator_repr(PyObject* self) {
    const auto* g = as_generator(self);
    const auto node = static_cast<int>(g->config.node_id);
    const auto epoch = static_cast<long long>(g->config.epoch_ms);
    if (g->config.family == IdFamily::Sorn) {
        return PyUnicode_FromFormat("SornIdGenerator(node_id=%d, epoch_ms=%lld)", node, epoch);
    }
    const Ref unit(get_precision(self, nullptr));
    if (!unit) return nullptr;
    return PyUnicode_FromFormat("QuibIdGenerator(node_id=%d, precision=%R, epoch_ms=%lld)", node,
                                unit.get(), epoch);
}

int generator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_generator(self)->clock);
    return 0;
}

int generator_clear(PyObject* self) {
    Py_CLEAR(as_generator(self)->clock);
    return 0;
}

void generator_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    generator_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// ---------------------------------------------------------------------------
// Construction

// The process's generation precision, as _sornquibid has it (this module
// never reads the environment itself): the precision of the QuibId that
// SornId(0) converts to.
bool generation_precision_of_extension(Precision& out) {
    static PyObject* name = nullptr;
    if (interned(name, "batch_to_quibids") == nullptr) return false;
    Ref zero(make_sorn_id(0));
    if (!zero) return false;
    Ref ids(PyList_New(1));
    if (!ids) return false;
    PyList_SET_ITEM(ids.get(), 0, zero.release());
    Ref pairs(PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(classes.sorn), name, ids.get()));
    if (!pairs) return false;
    PyObject* pair = PyList_Check(pairs.get()) && PyList_GET_SIZE(pairs.get()) == 1
                         ? PyList_GET_ITEM(pairs.get(), 0)
                         : nullptr;
    PyObject* quib = pair != nullptr && PyTuple_Check(pair) && PyTuple_GET_SIZE(pair) == 2
                         ? PyTuple_GET_ITEM(pair, 1)
                         : nullptr;
    if (quib == nullptr || !is_quib_id(quib)) {
        PyErr_SetString(PyExc_SystemError, "SornId.batch_to_quibids gave no QuibId");
        return false;
    }
    out = quib_value(quib).precision();
    return true;
}

PyObject* new_generator(PyTypeObject* type, IdFamily family, PyObject* node_arg,
                        PyObject* precision_arg, PyObject* epoch_arg, PyObject* clock_arg) {
    const char* name = family == IdFamily::Sorn ? "SornIdGenerator" : "QuibIdGenerator";
    std::uint16_t node_id = 0;
    if (!to_u16(node_arg, name, "node_id", node_id)) return nullptr;
    Precision precision = Precision::Nanoseconds;
    if (family == IdFamily::Quib) {
        if (precision_arg == nullptr || precision_arg == Py_None) {
            if (!generation_precision_of_extension(precision)) return nullptr;
        } else {
            std::string_view text;
            if (!to_utf8(precision_arg, name, "precision", text)) return nullptr;
            auto parsed = guarded([&]() -> PyObject* {
                auto p = parse_precision_argument(text);
                if (!p) return raise_value_error(p.error());
                precision = *p;
                return Py_None;
            });
            if (parsed == nullptr) return nullptr;
        }
    }
    std::int64_t epoch_ms = 0;
    if (epoch_arg != nullptr && !to_i64(epoch_arg, name, "epoch_ms", epoch_ms)) return nullptr;
    if (clock_arg == Py_None) clock_arg = nullptr;
    if (clock_arg != nullptr && !PyCallable_Check(clock_arg)) {
        PyErr_Format(PyExc_TypeError,
                     "%s() argument 'clock' must be callable (returning nanoseconds since the "
                     "Unix epoch, as time.time_ns does), not %.200s",
                     name, Py_TYPE(clock_arg)->tp_name);
        return nullptr;
    }
    auto config = make_generator_config(family, precision, node_id, epoch_ms);
    if (!config) {
        return std::visit([](const auto& e) { return raise_error(e); }, config.error());
    }
    auto* g = reinterpret_cast<GeneratorObject*>(type->tp_alloc(type, 0));
    if (g == nullptr) return nullptr;
    g->vectorcall = generator_call;
    g->clock = Py_XNewRef(clock_arg);
    g->config = *config;
    g->state = GeneratorState{};
    g->fork_count = fork_count.load(std::memory_order_relaxed);
    return reinterpret_cast<PyObject*>(g);
}

PyObject* sorn_generator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"node_id", "epoch_ms", "clock", nullptr};
    PyObject* node = nullptr;
    PyObject* epoch = nullptr;
    PyObject* clock = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:SornIdGenerator",
                                     const_cast<char**>(kwlist), &node, &epoch, &clock)) {
        return nullptr;
    }
    return new_generator(type, IdFamily::Sorn, node, nullptr, epoch, clock);
}

PyObject* quib_generator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"node_id", "precision", "epoch_ms", "clock", nullptr};
    PyObject* node = nullptr;
    PyObject* precision = nullptr;
    PyObject* epoch = nullptr;
    PyObject* clock = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:QuibIdGenerator",
                                     const_cast<char**>(kwlist), &node, &precision, &epoch,
                                     &clock)) {
        return nullptr;
    }
    return new_generator(type, IdFamily::Quib, node, precision, epoch, clock);
}

// ---------------------------------------------------------------------------
// The classes

constexpr const char* kSornDoc =
    "SornIdGenerator(node_id, *, epoch_ms=0, clock=None)\n--\n\n"
    "Makes SornId values: a 41-bit millisecond timestamp counted from epoch_ms (Unix "
    "time in milliseconds), the node id (0 to 511) and a 13-bit sequence. Every "
    "identifier it returns is greater than the one before it. clock returns Unix time "
    "in nanoseconds (default: the system clock, as time.time_ns).";

constexpr const char* kQuibDoc =
    "QuibIdGenerator(node_id, *, precision=None, epoch_ms=0, clock=None)\n--\n\n"
    "Makes QuibId values: an 89-bit timestamp in the unit precision (\"us\", \"ns\", "
    "\"ps\" or \"fs\"; None: the process's generation precision, QUIBID_PRECISION) "
    "counted from epoch_ms (Unix time in milliseconds), the node id (0 to 32767) and a "
    "16-bit sequence. Every identifier it returns is greater than the one before it. "
    "clock returns Unix time in nanoseconds (default: the system clock, as time.time_ns).";

PyMethodDef generator_methods[] = {
    {"next", generator_next, METH_NOARGS,
     "next($self, /)\n--\n\nThe next identifier, greater than every one before it."},
    {"next_desc", generator_next_desc, METH_NOARGS,
     "next_desc($self, /)\n--\n\nThe descending form of the next identifier."},
    {"next_many",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_next_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "next_many($self, n)\n--\n\nA list of the next n identifiers, increasing: what n calls "
     "of next() return, for one reading of the clock."},
    // Beside the call slot, for its text signature (the slot runs next_one).
    {"__call__", generator_next, METH_NOARGS | METH_COEXIST,
     "__call__($self, /)\n--\n\nThe next identifier, as next()."},
    {"__reduce__", generator_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sorn_getset[] = {
    {"node_id", get_node_id, nullptr, nullptr, nullptr},
    {"epoch_ms", get_epoch_ms, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef quib_getset[] = {
    {"node_id", get_node_id, nullptr, nullptr, nullptr},
    {"precision", get_precision, nullptr, nullptr, nullptr},
    {"epoch_ms", get_epoch_ms, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_generator_type(const char* name, const char* doc, newfunc new_fn,
                                 PyGetSetDef* getset) {
    PyTypeObject t = blank_type(name, sizeof(GeneratorObject));
    t.tp_flags |= Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = doc;
    t.tp_new = new_fn;
    t.tp_alloc = PyType_GenericAlloc;
    t.tp_free = PyObject_GC_Del;
    t.tp_dealloc = generator_dealloc;
    t.tp_traverse = generator_traverse;
    t.tp_clear = generator_clear;
    t.tp_repr = generator_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_vectorcall_offset = offsetof(GeneratorObject, vectorcall);
    t.tp_methods = generator_methods;
    t.tp_getset = getset;
    return t;
}

PyTypeObject SornIdGeneratorType = make_generator_type(
    "sornquibid.SornIdGenerator", kSornDoc, sorn_generator_new, sorn_getset);
PyTypeObject QuibIdGeneratorType = make_generator_type(
    "sornquibid.QuibIdGenerator", kQuibDoc, quib_generator_new, quib_getset);

// check_epoch_ms(epoch_ms): the epoch as an int, or ValueError when it lies
// outside the years 1 to 9999.
PyObject* check_epoch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"epoch_ms"};
    PyObject* a[1];
    if (!parse_args("check_epoch_ms", names, args, nargs, kwnames, a)) return nullptr;
    std::int64_t epoch_ms = 0;
    if (!to_i64(a[0], "check_epoch_ms", "epoch_ms", epoch_ms)) return nullptr;
    auto ok = check_epoch_ms(epoch_ms);
    if (!ok) return raise_error(ok.error());
    return PyLong_FromLongLong(epoch_ms);
}

PyMethodDef check_epoch_def = {
    "check_epoch_ms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_epoch)),
    METH_FASTCALL | METH_KEYWORDS,
    "check_epoch_ms(epoch_ms)\n--\n\nThe epoch as an int, refused outside the years 1 to "
    "9999."};

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
    if (!(type->tp_flags & Py_TPFLAGS_READY) && PyType_Ready(type) < 0) return false;
    return add_to_module(module, name, Ref::borrow(reinterpret_cast<PyObject*>(type)));
}

}  // namespace

bool add_generators(PyObject* module) {
    if (!watch_forks()) return false;
    if (!add_type(module, "SornIdGenerator", &SornIdGeneratorType)) return false;
    if (!add_type(module, "QuibIdGenerator", &QuibIdGeneratorType)) return false;
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    return add_to_module(module, "check_epoch_ms",
                         Ref(PyCFunction_NewEx(&check_epoch_def, module, module_name.get())));
}

}  // namespace sornquibid::py::native

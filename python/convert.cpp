// SornId.batch_to_quibids, SornId.check_quibid_convertibility,
// QuibId.batch_to_sornids, QuibId.check_sornid_convertibility and
// QuibId.sornid_conflict_details.
#include "convert.hpp"

// The core unit shares this file's name.
#include "../src/convert.hpp"
#include "types.hpp"

namespace sornquibid::py {
namespace {

// Reads the single argument `arg` of `fname` as a sequence of exactly
// `type`, copying the values out. False with a Python exception set.
template <class T, class ValueOf>
bool extract_ids(const char* fname, const char* arg, PyTypeObject* type, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames, std::vector<T>& out, ValueOf value_of) {
    const char* const names[] = {arg};
    PyObject* a[1];
    if (!parse_args(fname, names, args, nargs, kwnames, a)) return false;
    return extract_sequence(a[0], fname, arg, type, out, value_of);
}

SornId sorn_of(PyObject* obj) { return SornId{sorn_value(obj)}; }

// Sets the 2-tuple (first, second) as the item at `index` of the list being
// filled, taking over both members (either may be null after a failed
// creation).
bool set_pair(Filling& list, Py_ssize_t index, PyObject* first, PyObject* second) {
    Ref a(first), b(second);
    if (!a || !b) return false;
    PyObject* tuple = PyTuple_New(2);
    if (tuple == nullptr) return false;
    PyTuple_SET_ITEM(tuple, 0, a.release());
    PyTuple_SET_ITEM(tuple, 1, b.release());
    PyList_SET_ITEM(list.get(), index, tuple);
    return true;
}

// The tuple (kind, timestamp_ms, node_id, count, max, quib_ids, text) of one
// conflict; the fields its kind does not have are None.
PyObject* conflict_details(const ConversionConflict& conflict) {
    Filling tuple(PyTuple_New(7));
    if (!tuple) return nullptr;
    PyObject* t = tuple.get();
    for (Py_ssize_t i = 1; i <= 4; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(Py_None));
    // Takes over `item`, replacing what the slot held.
    auto set = [t](Py_ssize_t i, PyObject* item) {
        return item != nullptr && PyTuple_SetItem(t, i, item) == 0;
    };
    using K = ConflictKind;
    bool ok;
    if (const auto* k = std::get_if<K::NodeIdOverflow>(&conflict.kind.kind)) {
        ok = set(0, PyUnicode_FromString("NodeIdOverflow")) &&
             set(2, PyLong_FromLong(k->node_id));
    } else if (const auto* k = std::get_if<K::TimestampOverflow>(&conflict.kind.kind)) {
        ok = set(0, PyUnicode_FromString("TimestampOverflow")) &&
             set(1, new_int_u128(k->timestamp_ms));
    } else {
        const auto& s = std::get<K::SequenceOverflow>(conflict.kind.kind);
        ok = set(0, PyUnicode_FromString("SequenceOverflow")) &&
             set(1, PyLong_FromUnsignedLongLong(s.timestamp_ms)) &&
             set(2, PyLong_FromLong(s.node_id)) && set(3, PyLong_FromSize_t(s.count)) &&
             set(4, PyLong_FromSize_t(s.max));
    }
    if (!ok) return nullptr;
    const std::vector<QuibId>& ids = conflict.quib_ids;
    Filling members(PyTuple_New(static_cast<Py_ssize_t>(ids.size())));
    if (!members) return nullptr;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyObject* id = new_quib_id(ids[i]);
        if (id == nullptr) return nullptr;
        PyTuple_SET_ITEM(members.get(), static_cast<Py_ssize_t>(i), id);
    }
    if (!set(5, members.finish())) return nullptr;
    const std::string text = to_text(conflict);
    if (!set(6, new_ascii(text.data(), text.size()))) return nullptr;
    return tuple.finish();
}

// The conflicts of the check on the argument `ids` of `fname`, as a new list
// of make(conflict), in order.
template <class Make>
PyObject* map_conflicts(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, Make make) {
    return guarded([&]() -> PyObject* {
        std::vector<QuibId> ids;
        if (!extract_ids(fname, "ids", &QuibIdType, args, nargs, kwnames, ids, quib_value)) {
            return nullptr;
        }
        const std::vector<ConversionConflict> conflicts = check_sornid_convertibility(ids);
        Filling list(PyList_New(static_cast<Py_ssize_t>(conflicts.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < conflicts.size(); ++i) {
            PyObject* item = make(conflicts[i]);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.finish();
    });
}

}  // namespace

PyObject* sorn_batch_to_quibids(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::vector<SornId> ids;
        if (!extract_ids("batch_to_quibids", "ids", &SornIdType, args, nargs, kwnames, ids,
                         sorn_of)) {
            return nullptr;
        }
        // The pairs go straight into the list, without an intermediate array.
        Filling list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
        if (!list) return nullptr;
        Py_ssize_t i = 0;
        const bool ok = for_each_quibid(ids, [&](SornId id, const QuibId& image) {
            return set_pair(list, i++, new_sorn_id(id.value), new_quib_id(image));
        });
        return ok ? list.finish() : nullptr;
    });
}

PyObject* sorn_check_quibid_convertibility(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        // Every SornId converts; the argument is only validated.
        std::vector<SornId> ids;
        if (!extract_ids("check_quibid_convertibility", "_ids", &SornIdType, args, nargs,
                         kwnames, ids, sorn_of)) {
            return nullptr;
        }
        return PyList_New(0);
    });
}

PyObject* quib_batch_to_sornids(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::vector<QuibId> ids;
        if (!extract_ids("batch_to_sornids", "ids", &QuibIdType, args, nargs, kwnames, ids,
                         quib_value)) {
            return nullptr;
        }
        auto pairs = batch_to_sornids(ids);
        if (!pairs) return raise_error(pairs.error());
        Filling list(PyList_New(static_cast<Py_ssize_t>(pairs->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < pairs->size(); ++i) {
            const QuibSornPair& p = (*pairs)[i];
            if (!set_pair(list, static_cast<Py_ssize_t>(i), new_quib_id(p.quib),
                          new_sorn_id(p.sorn.value))) {
                return nullptr;
            }
        }
        return list.finish();
    });
}

PyObject* quib_check_sornid_convertibility(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    return map_conflicts("check_sornid_convertibility", args, nargs, kwnames,
                         [](const ConversionConflict& conflict) {
                             const std::string text = to_text(conflict);
                             return new_ascii(text.data(), text.size());
                         });
}

PyObject* quib_sornid_conflict_details(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return map_conflicts("sornid_conflict_details", args, nargs, kwnames, conflict_details);
}

}  // namespace sornquibid::py

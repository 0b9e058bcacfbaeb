// SornId.batch_to_quibids, SornId.check_quibid_convertibility,
// QuibId.batch_to_sornids and QuibId.check_sornid_convertibility.
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

// Sets the 2-tuple (first, second) as the item at `index` of `list`,
// taking over both members (either may be null after a failed creation).
bool set_pair(ListBuilder& list, Py_ssize_t index, PyObject* first, PyObject* second) {
    Ref a(first), b(second);
    if (!a || !b) return false;
    PyObject* tuple = PyTuple_New(2);
    if (tuple == nullptr) return false;
    PyTuple_SET_ITEM(tuple, 0, a.release());
    PyTuple_SET_ITEM(tuple, 1, b.release());
    list.set(index, tuple);
    return true;
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
        ListBuilder list(static_cast<Py_ssize_t>(ids.size()));
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
        ListBuilder list(static_cast<Py_ssize_t>(pairs->size()));
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
    return guarded([&]() -> PyObject* {
        std::vector<QuibId> ids;
        if (!extract_ids("check_sornid_convertibility", "ids", &QuibIdType, args, nargs,
                         kwnames, ids, quib_value)) {
            return nullptr;
        }
        const std::vector<ConversionConflict> conflicts = check_sornid_convertibility(ids);
        ListBuilder list(static_cast<Py_ssize_t>(conflicts.size()));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < conflicts.size(); ++i) {
            const std::string text = to_text(conflicts[i]);
            PyObject* item = new_ascii(text.data(), text.size());
            if (item == nullptr) return nullptr;
            list.set(static_cast<Py_ssize_t>(i), item);
        }
        return list.finish();
    });
}

}  // namespace sornquibid::py

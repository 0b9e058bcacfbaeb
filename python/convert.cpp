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

// A list of 2-tuples built from `pairs`, the members made by `first` and
// `second`. On failure everything built so far is released.
template <class Pair, class First, class Second>
PyObject* pair_list(const std::vector<Pair>& pairs, First first, Second second) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        // The list owns each tuple as soon as it is stored, and the tuple
        // each member; empty slots are allowed during teardown.
        PyObject* tuple = PyTuple_New(2);
        if (tuple == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
        PyObject* a = first(pairs[i]);
        if (a == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple, 0, a);
        PyObject* b = second(pairs[i]);
        if (b == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple, 1, b);
    }
    return list.release();
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
        const std::vector<SornQuibPair> pairs = batch_to_quibids(ids);
        return pair_list(
            pairs, [](const SornQuibPair& p) { return new_sorn_id(p.sorn.value); },
            [](const SornQuibPair& p) { return new_quib_id(p.quib); });
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
        if (!pairs) return raise_value_error(display(pairs.error()));
        return pair_list(
            *pairs, [](const QuibSornPair& p) { return new_quib_id(p.quib); },
            [](const QuibSornPair& p) { return new_sorn_id(p.sorn.value); });
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
        Ref list(PyList_New(static_cast<Py_ssize_t>(conflicts.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < conflicts.size(); ++i) {
            const std::string text = to_text(conflicts[i]);
            PyObject* item = new_ascii(text.data(), text.size());
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

}  // namespace sornquibid::py

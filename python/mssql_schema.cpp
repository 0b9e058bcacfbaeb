// The mssql_schema submodule: SQL Server script constants and trigger builders.
#include <vector>

#include "mssql_schema.hpp"
#include "types.hpp"

namespace sornquibid::py {
namespace {

constexpr const char* kInstallName = "mssql_install_autofill_trigger_for_table";
constexpr const char* kDropName = "mssql_drop_autofill_trigger_for_table";

// The script as a str, or ValueError with the refusal's display text.
template <class E>
PyObject* script_result(const expected<std::string, E>& script) {
    if (!script) return raise_error(script.error());
    return new_utf8(*script);
}

// Reads `pairs`: a sequence (not a str) of tuples of exactly two str. The
// column pairs borrow the UTF-8 buffers of those str objects, so the tuples
// are kept alive in `keep` for as long as the pairs are used.
bool to_column_pairs(PyObject* seq, std::vector<ColumnPair>& pairs, std::vector<Ref>& keep) {
    return visit_sequence(
        seq, kInstallName, "pairs",
        [&](std::size_t n) {
            pairs.reserve(n);
            keep.reserve(n);
        },
        [&](PyObject* item, Py_ssize_t index) {
            if (!PyTuple_Check(item)) {
                PyErr_Format(PyExc_TypeError,
                             "%s() argument 'pairs' item %zd must be a tuple of two str, "
                             "not %.200s",
                             kInstallName, index, Py_TYPE(item)->tp_name);
                return false;
            }
            if (PyTuple_GET_SIZE(item) != 2) {
                PyErr_Format(PyExc_ValueError,
                             "%s() argument 'pairs' item %zd must be a tuple of two str, "
                             "not of %zd items",
                             kInstallName, index, PyTuple_GET_SIZE(item));
                return false;
            }
            std::string_view cols[2];
            for (Py_ssize_t k = 0; k < 2; ++k) {
                PyObject* col = PyTuple_GET_ITEM(item, k);
                if (!PyUnicode_Check(col)) {
                    PyErr_Format(PyExc_TypeError,
                                 "%s() argument 'pairs' item %zd element %zd must be str, "
                                 "not %.200s",
                                 kInstallName, index, k, Py_TYPE(col)->tp_name);
                    return false;
                }
                if (!to_utf8(col, kInstallName, "pairs", cols[k])) return false;
            }
            keep.push_back(Ref::borrow(item));
            pairs.push_back(ColumnPair{cols[0], cols[1]});
            return true;
        });
}

PyObject* install_trigger(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"table", "pairs", "kind"};
    PyObject* a[3];
    if (!parse_args(kInstallName, names, args, nargs, kwnames, a)) return nullptr;
    std::string_view table;
    if (!to_utf8(a[0], kInstallName, "table", table)) return nullptr;
    std::vector<ColumnPair> pairs;
    std::vector<Ref> keep;
    if (!to_column_pairs(a[1], pairs, keep)) return nullptr;
    std::string_view kind_text;
    if (!to_utf8(a[2], kInstallName, "kind", kind_text)) return nullptr;

    return guarded([&]() -> PyObject* {
        IdKind kind;
        if (kind_text == "sorn") {
            kind = IdKind::Sorn;
        } else if (kind_text == "quib") {
            kind = IdKind::Quib;
        } else {
            std::string message = "unknown kind: ";
            message += kind_text;
            message += "; expected 'sorn' or 'quib'";
            return raise_value_error(message);
        }
        return script_result(install_autofill_trigger_for_table_mssql(table, pairs, kind));
    });
}

PyObject* drop_trigger(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"table"};
    PyObject* a[1];
    if (!parse_args(kDropName, names, args, nargs, kwnames, a)) return nullptr;
    std::string_view table;
    if (!to_utf8(a[0], kDropName, "table", table)) return nullptr;
    return guarded([&] { return script_result(drop_autofill_trigger_for_table_mssql(table)); });
}

// Static: a built-in function keeps a pointer to its definition for life.
PyMethodDef install_def = {
    kInstallName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(install_trigger)),
    METH_FASTCALL | METH_KEYWORDS,
    "mssql_install_autofill_trigger_for_table(table, pairs, kind)\n--\n\n"};
PyMethodDef drop_def = {
    kDropName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(drop_trigger)),
    METH_FASTCALL | METH_KEYWORDS, "mssql_drop_autofill_trigger_for_table(table)\n--\n\n"};

bool add_constant(PyObject* submodule, const char* name, std::string_view text) {
    return add_to_module(submodule, name, Ref(new_utf8(text)));
}

// A built-in function bound to the submodule, its __module__ the submodule's
// name.
bool add_function(PyObject* submodule, PyMethodDef* def) {
    Ref module_name(PyModule_GetNameObject(submodule));
    if (!module_name) return false;
    return add_to_module(submodule, def->ml_name,
                         Ref(PyCFunction_NewEx(def, submodule, module_name.get())));
}

}  // namespace

bool populate_mssql_schema(PyObject* submodule) {
    return add_constant(submodule, "DESC_FLIP_TSQL", DESC_FLIP_TSQL) &&
           add_constant(submodule, "DESC_GENERATORS_TSQL", DESC_GENERATORS_TSQL) &&
           add_constant(submodule, "BULK_BACKFILL_TSQL", BULK_BACKFILL_TSQL) &&
           add_constant(submodule, "INSTALL_ALL_DESC_TSQL", INSTALL_ALL_DESC_TSQL) &&
           add_function(submodule, &install_def) && add_function(submodule, &drop_def);
}

}  // namespace sornquibid::py

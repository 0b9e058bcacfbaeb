// Column kernels over buffers and Arrow arrays: the functions col_* of
// sornquibid._native, which sornquibid.columns calls.
//
// Each takes a column (see column_input.hpp) and returns new Column objects
// (column_object.hpp). The chunk functions return a list with one result
// per input chunk and number rows in messages from `row0`, so that a reader
// of chunks can drive them; col_quib_to_sorn and col_sornid_conflicts take
// the whole column at once. Kernels run without the interpreter lock,
// except over the items of an object array.
#include <utility>

#include "column_input.hpp"
#include "column_object.hpp"
#include "native.hpp"

namespace sornquibid::py::native {
namespace {

using columns::Options;

// Which of the four classes a `family` argument is.
enum class Family : std::uint8_t { Sorn, SornDesc, Quib, QuibDesc };

bool to_family(PyObject* obj, const char* fname, Family& out) {
    if (obj == reinterpret_cast<PyObject*>(classes.sorn)) {
        out = Family::Sorn;
    } else if (obj == reinterpret_cast<PyObject*>(classes.sorn_desc)) {
        out = Family::SornDesc;
    } else if (obj == reinterpret_cast<PyObject*>(classes.quib)) {
        out = Family::Quib;
    } else if (obj == reinterpret_cast<PyObject*>(classes.quib_desc)) {
        out = Family::QuibDesc;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() argument 'family' must be SornId, SornIdDesc, QuibId or QuibIdDesc, "
                     "not %R",
                     fname, obj);
        return false;
    }
    return true;
}

bool is_quib(Family f) { return f == Family::Quib || f == Family::QuibDesc; }
bool is_desc(Family f) { return f == Family::SornDesc || f == Family::QuibDesc; }

bool to_bool(PyObject* obj, const char* fname, const char* arg, bool& out) {
    if (!PyBool_Check(obj)) {
        wrong_type(obj, fname, arg, "bool");
        return false;
    }
    out = obj == Py_True;
    return true;
}

// The arguments (col, <extra...>, row0, nulls) of a chunk function.
template <std::size_t N>
bool parse_chunk_args(const char* fname, const char* const (&names)[N], PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, PyObject* (&a)[N], Options& options) {
    if (!parse_args(fname, names, args, nargs, kwnames, a)) return false;
    std::uint64_t row0;
    if (!to_u64(a[N - 2], fname, "row0", row0)) return false;
    options.row0 = row0;
    return to_bool(a[N - 1], fname, "nulls", options.nulls);
}

// The list of kernel(chunk, options) over the chunks of `col`, each a
// Column or, for a kernel of several output columns, a tuple of them.
template <class Kernel>
PyObject* each_chunk(PyObject* col, const char* fname, unsigned want, Options options,
                     Kernel kernel) {
    ColumnReader reader;
    if (!reader.open(col, fname, "col", want, options.row0)) return nullptr;
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (;;) {
        std::unique_ptr<Chunk> chunk;
        const int got = reader.next(chunk);
        if (got < 0) return nullptr;
        if (got == 0) return list.release();
        columns::Result result =
            run_kernel(chunk->holds_objects(), [&] { return kernel(*chunk, options); });
        if (!result) return raise_error(result.error());
        options.row0 += chunk->length();
        Ref outputs(new_columns(std::move(*result)));
        if (!outputs || PyList_Append(list.get(), outputs.get()) < 0) return nullptr;
    }
}

columns::TextLayout text_layout_of(PyObject* obj, const char* fname, bool& ok) {
    ok = true;
    if (PyUnicode_Check(obj)) {
        if (PyUnicode_CompareWithASCIIString(obj, "numpy") == 0) return columns::TextLayout::Ucs4;
        if (PyUnicode_CompareWithASCIIString(obj, "string") == 0) return columns::TextLayout::Utf8;
        if (PyUnicode_CompareWithASCIIString(obj, "large_string") == 0) {
            return columns::TextLayout::LargeUtf8;
        }
    }
    PyErr_Format(PyExc_ValueError,
                 "%s() argument 'layout' must be 'numpy', 'string' or 'large_string', not %R",
                 fname, obj);
    ok = false;
    return columns::TextLayout::Utf8;
}

PyObject* col_sorn_to_quib(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"col", "precision", "row0", "nulls"};
        PyObject* a[4];
        Options options;
        if (!parse_chunk_args("col_sorn_to_quib", names, args, nargs, kwnames, a, options)) {
            return nullptr;
        }
        std::string_view text;
        if (!to_utf8(a[1], "col_sorn_to_quib", "precision", text)) return nullptr;
        auto precision = parse_precision_argument(text);
        if (!precision) return raise_value_error(precision.error());
        return each_chunk(a[0], "col_sorn_to_quib", kWantInt64, options,
                          [&](const Chunk& c, const Options& o) {
                              return columns::sorn_to_quib(c.int64, *precision, o);
                          });
    });
}

PyObject* col_flip(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"col", "family", "row0", "nulls"};
        PyObject* a[4];
        Options options;
        Family family;
        if (!parse_chunk_args("col_flip", names, args, nargs, kwnames, a, options) ||
            !to_family(a[1], "col_flip", family)) {
            return nullptr;
        }
        if (is_quib(family)) {
            return each_chunk(a[0], "col_flip", kWantBytes16, options,
                              [](const Chunk& c, const Options& o) {
                                  return columns::flip_quib(c.bytes16, o);
                              });
        }
        return each_chunk(a[0], "col_flip", kWantInt64, options,
                          [](const Chunk& c, const Options& o) {
                              return columns::flip_sorn(c.int64, o);
                          });
    });
}

PyObject* col_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"col", "family", "row0", "nulls"};
        PyObject* a[4];
        Options options;
        Family family;
        if (!parse_chunk_args("col_parse", names, args, nargs, kwnames, a, options) ||
            !to_family(a[1], "col_parse", family)) {
            return nullptr;
        }
        const bool quib = is_quib(family);
        return each_chunk(a[0], "col_parse", kWantText, options,
                          [quib](const Chunk& c, const Options& o) {
                              return quib ? columns::parse_quib(c.text, o)
                                          : columns::parse_sorn(c.text, o);
                          });
    });
}

PyObject* col_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"col", "family", "layout", "row0", "nulls"};
        PyObject* a[5];
        Options options;
        Family family;
        if (!parse_chunk_args("col_format", names, args, nargs, kwnames, a, options) ||
            !to_family(a[1], "col_format", family)) {
            return nullptr;
        }
        bool ok;
        const columns::TextLayout layout = text_layout_of(a[2], "col_format", ok);
        if (!ok) return nullptr;
        if (is_quib(family)) {
            return each_chunk(a[0], "col_format", kWantBytes16, options,
                              [layout](const Chunk& c, const Options& o) {
                                  return columns::format_quib(c.bytes16, layout, o);
                              });
        }
        return each_chunk(a[0], "col_format", kWantInt64, options,
                          [layout](const Chunk& c, const Options& o) {
                              return columns::format_sorn(c.int64, layout, o);
                          });
    });
}

PyObject* col_fields(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"col", "family", "numpy", "row0", "nulls"};
        PyObject* a[5];
        Options options;
        Family family;
        bool numpy;
        if (!parse_chunk_args("col_fields", names, args, nargs, kwnames, a, options) ||
            !to_family(a[1], "col_fields", family) || !to_bool(a[2], "col_fields", "numpy", numpy)) {
            return nullptr;
        }
        const bool desc = is_desc(family);
        if (is_quib(family)) {
            return each_chunk(a[0], "col_fields", kWantBytes16, options,
                              [desc, numpy](const Chunk& c, const Options& o) {
                                  return columns::fields_quib(c.bytes16, desc, numpy, o);
                              });
        }
        return each_chunk(a[0], "col_fields", kWantInt64, options,
                          [desc](const Chunk& c, const Options& o) {
                              return columns::fields_sorn(c.int64, desc, o);
                          });
    });
}

PyObject* col_validate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"col", "family", "numpy"};
        PyObject* a[3];
        Family family;
        bool numpy;
        if (!parse_args("col_validate", names, args, nargs, kwnames, a) ||
            !to_family(a[1], "col_validate", family) ||
            !to_bool(a[2], "col_validate", "numpy", numpy)) {
            return nullptr;
        }
        const bool quib = is_quib(family);
        return each_chunk(
            a[0], "col_validate", kWantText | (quib ? kWantBytes16 : kWantInt64), Options{},
            [quib, numpy](const Chunk& c, const Options&) -> columns::Result {
                switch (c.kind) {
                    case Chunk::Kind::Int64: return columns::validate_sorn(c.int64, numpy);
                    case Chunk::Kind::Bytes16: return columns::validate_quib(c.bytes16, numpy);
                    case Chunk::Kind::Text: break;
                }
                return columns::validate_text(c.text, quib, numpy);
            });
    });
}

PyObject* col_sorn_group(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"col", "row0", "nulls"};
        PyObject* a[3];
        Options options;
        if (!parse_chunk_args("col_sorn_group", names, args, nargs, kwnames, a, options)) {
            return nullptr;
        }
        return each_chunk(a[0], "col_sorn_group", kWantBytes16, options,
                          [](const Chunk& c, const Options& o) {
                              return columns::sorn_group(c.bytes16, o);
                          });
    });
}

// Every chunk of a whole-column argument, kept readable, and its rows.
bool read_column(PyObject* obj, const char* fname, const char* arg, unsigned want,
                 std::uint64_t row0, std::vector<std::unique_ptr<Chunk>>& chunks,
                 std::uint64_t& rows) {
    ColumnReader reader;
    if (!reader.open(obj, fname, arg, want, row0) || !reader.read_all(chunks)) return false;
    rows = 0;
    for (const auto& c : chunks) rows += c->length();
    return true;
}

bool any_objects(const std::vector<std::unique_ptr<Chunk>>& chunks) {
    for (const auto& c : chunks) {
        if (c->holds_objects()) return true;
    }
    return false;
}

std::vector<columns::Bytes16Column> bytes16_of(const std::vector<std::unique_ptr<Chunk>>& chunks) {
    std::vector<columns::Bytes16Column> out;
    out.reserve(chunks.size());
    for (const auto& c : chunks) out.push_back(c->bytes16);
    return out;
}

PyObject* col_quib_to_sorn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"col", "order", "row0"};
        const char* fname = "col_quib_to_sorn";
        PyObject* a[3];
        std::uint64_t row0;
        if (!parse_args(fname, names, args, nargs, kwnames, a) ||
            !to_u64(a[2], fname, "row0", row0)) {
            return nullptr;
        }
        std::vector<std::unique_ptr<Chunk>> chunks, order_chunks;
        std::uint64_t rows, order_rows = 0;
        if (!read_column(a[0], fname, "col", kWantBytes16, row0, chunks, rows)) return nullptr;
        std::vector<columns::Int64Column> order;
        if (a[1] != Py_None) {
            if (!read_column(a[1], fname, "order", kWantInt64, row0, order_chunks, order_rows)) {
                return nullptr;
            }
            if (order_rows != rows) {
                PyErr_Format(PyExc_ValueError, "%s() argument 'order' has %llu rows, 'col' %llu",
                             fname, static_cast<unsigned long long>(order_rows),
                             static_cast<unsigned long long>(rows));
                return nullptr;
            }
            for (const auto& c : order_chunks) {
                if (c->length() > 0) order.push_back(c->int64);
            }
        }
        const std::vector<columns::Bytes16Column> input = bytes16_of(chunks);
        columns::Result result = run_kernel(any_objects(chunks), [&] {
            return columns::quib_to_sorn(input, order, row0);
        });
        if (!result) return raise_error(result.error());
        Ref list(PyList_New(0));
        if (!list || !append_columns(list.get(), std::move(*result))) return nullptr;
        return list.release();
    });
}

// The tuple (kind, timestamp_ms, node_id, count, max, quib_ids, text, rows,
// row_count) of one conflict; the fields its kind does not have are None.
PyObject* conflict_record(const columns::RowConflict& r) {
    const ConversionConflict& conflict = r.conflict;
    Ref fields[5];
    using K = ConflictKind;
    if (const auto* k = std::get_if<K::NodeIdOverflow>(&conflict.kind.kind)) {
        fields[0] = Ref(PyUnicode_FromString("NodeIdOverflow"));
        fields[2] = Ref(PyLong_FromLong(k->node_id));
    } else if (const auto* k = std::get_if<K::TimestampOverflow>(&conflict.kind.kind)) {
        fields[0] = Ref(PyUnicode_FromString("TimestampOverflow"));
        fields[1] = Ref(new_int_u128(k->timestamp_ms));
    } else {
        const auto& s = std::get<K::SequenceOverflow>(conflict.kind.kind);
        fields[0] = Ref(PyUnicode_FromString("SequenceOverflow"));
        fields[1] = Ref(PyLong_FromUnsignedLongLong(s.timestamp_ms));
        fields[2] = Ref(PyLong_FromLong(s.node_id));
        fields[3] = Ref(PyLong_FromSize_t(s.count));
        fields[4] = Ref(PyLong_FromSize_t(s.max));
    }
    if (!fields[0]) return nullptr;
    for (Ref& f : fields) {
        if (!f) {
            if (PyErr_Occurred()) return nullptr;
            f = Ref::borrow(Py_None);
        }
    }
    Filling ids(PyTuple_New(static_cast<Py_ssize_t>(conflict.quib_ids.size())));
    if (!ids) return nullptr;
    for (std::size_t i = 0; i < conflict.quib_ids.size(); ++i) {
        PyObject* id = make_quib_id(conflict.quib_ids[i]);
        if (id == nullptr) return nullptr;
        PyTuple_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), id);
    }
    Ref id_tuple(ids.finish());
    const std::string text = to_text(conflict);
    Ref text_str(new_ascii(text.data(), text.size()));
    if (!text_str) return nullptr;
    Filling rows(PyTuple_New(static_cast<Py_ssize_t>(r.rows.size())));
    if (!rows) return nullptr;
    for (std::size_t i = 0; i < r.rows.size(); ++i) {
        PyObject* row = PyLong_FromUnsignedLongLong(r.rows[i]);
        if (row == nullptr) return nullptr;
        PyTuple_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
    }
    Ref row_tuple(rows.finish());
    Ref row_count(PyLong_FromSize_t(r.row_count));
    if (!row_count) return nullptr;
    return PyTuple_Pack(9, fields[0].get(), fields[1].get(), fields[2].get(), fields[3].get(),
                        fields[4].get(), id_tuple.get(), text_str.get(), row_tuple.get(),
                        row_count.get());
}

PyObject* col_sornid_conflicts(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"col", "row0", "max_rows"};
        const char* fname = "col_sornid_conflicts";
        PyObject* a[3];
        std::uint64_t row0, max_rows;
        if (!parse_args(fname, names, args, nargs, kwnames, a) ||
            !to_u64(a[1], fname, "row0", row0) || !to_u64(a[2], fname, "max_rows", max_rows)) {
            return nullptr;
        }
        std::vector<std::unique_ptr<Chunk>> chunks;
        std::uint64_t rows;
        if (!read_column(a[0], fname, "col", kWantBytes16, row0, chunks, rows)) return nullptr;
        const std::vector<columns::Bytes16Column> input = bytes16_of(chunks);
        auto conflicts = run_kernel(any_objects(chunks), [&] {
            return columns::sornid_conflicts(input, row0, static_cast<std::size_t>(max_rows));
        });
        if (!conflicts) return raise_error(conflicts.error());
        Filling list(PyList_New(static_cast<Py_ssize_t>(conflicts->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < conflicts->size(); ++i) {
            PyObject* record = conflict_record((*conflicts)[i]);
            if (record == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record);
        }
        return list.finish();
    });
}

PyMethodDef functions[] = {
    method("col_sorn_to_quib", col_sorn_to_quib,
           "col_sorn_to_quib(col, precision, row0, nulls)\n--\n\n"
           "SornId values to their QuibId images at `precision`, per chunk."),
    method("col_flip", col_flip,
           "col_flip(col, family, row0, nulls)\n--\n\n"
           "Values of class `family` to the other form of the family, per chunk."),
    method("col_parse", col_parse,
           "col_parse(col, family, row0, nulls)\n--\n\n"
           "Text to values of class `family`, per chunk."),
    method("col_format", col_format,
           "col_format(col, family, layout, row0, nulls)\n--\n\n"
           "Values of class `family` to text ('numpy', 'string' or 'large_string'), per chunk."),
    method("col_fields", col_fields,
           "col_fields(col, family, numpy, row0, nulls)\n--\n\n"
           "The fields of values of class `family` as a tuple of columns, per chunk."),
    method("col_validate", col_validate,
           "col_validate(col, family, numpy)\n--\n\n"
           "Whether each value or text is a valid identifier of class `family`, per chunk."),
    method("col_sorn_group", col_sorn_group,
           "col_sorn_group(col, row0, nulls)\n--\n\n"
           "The SornId of sequence 0 of each QuibId's group, per chunk."),
    method("col_quib_to_sorn", col_quib_to_sorn,
           "col_quib_to_sorn(col, order, row0)\n--\n\n"
           "The SornIds of a whole QuibId column, one column per input chunk."),
    method("col_sornid_conflicts", col_sornid_conflicts,
           "col_sornid_conflicts(col, row0, max_rows)\n--\n\n"
           "The conflicts of a whole QuibId column, with their rows."),
};

}  // namespace

bool add_columns(PyObject* module) {
    if (!add_column_type(module)) return false;
    return add_functions(module, functions);
}

}  // namespace sornquibid::py::native

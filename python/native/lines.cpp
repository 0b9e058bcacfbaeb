// Text lines to and from columns: the functions split_lines and join_lines
// of sornquibid._native, by which the command-line tool reads identifier
// lists and writes CSV lines through the column kernels.
#include <tuple>
#include <vector>

#include "column_input.hpp"
#include "column_object.hpp"
#include "lines.hpp"
#include "native.hpp"

namespace sornquibid::py::native {
namespace {

bool strict_bool(PyObject* obj, const char* fname, const char* arg, bool& out) {
    if (!PyBool_Check(obj)) {
        wrong_type(obj, fname, arg, "bool");
        return false;
    }
    out = obj == Py_True;
    return true;
}

// A buffer view, released on scope exit.
class View {
public:
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool get(PyObject* obj, const char* fname, const char* arg) {
        if (!PyObject_CheckBuffer(obj)) {
            wrong_type(obj, fname, arg, "a bytes-like object");
            return false;
        }
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) return false;
        held_ = true;
        return true;
    }
    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

PyObject* split_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"data", "blank_null", "hex0x"};
        const char* fname = "split_lines";
        PyObject* a[3];
        lines::SplitOptions options;
        View data;
        if (!parse_args(fname, names, args, nargs, kwnames, a) ||
            !strict_bool(a[1], fname, "blank_null", options.blank_null) ||
            !strict_bool(a[2], fname, "hex0x", options.hex0x) || !data.get(a[0], fname, "data")) {
            return nullptr;
        }
        // The view keeps the bytes in place (a bytearray cannot be resized
        // while it is exported), so the lock can go.
        lines::Split split = run_kernel(false, [&] { return lines::split(data.bytes(), options); });
        Ref count(PyLong_FromSize_t(split.lines));
        if (!count) return nullptr;
        Ref column(new_columns(std::move(split.output)));
        if (!column) return nullptr;
        return PyTuple_Pack(2, column.get(), count.get());
    });
}

// What a `families` item asks of its column: text, or the text forms of
// the values of a class; false with TypeError for anything else.
bool field_kind(PyObject* family, Py_ssize_t c, lines::Field::Kind& kind, unsigned& want) {
    const auto* type = reinterpret_cast<PyTypeObject*>(family);
    if (family == Py_None) {
        kind = lines::Field::Kind::Text;
        want = kWantText;
    } else if (type == classes.sorn || type == classes.sorn_desc) {
        kind = lines::Field::Kind::Sorn;
        want = kWantInt64;
    } else if (type == classes.quib || type == classes.quib_desc) {
        kind = lines::Field::Kind::Quib;
        want = kWantBytes16;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "join_lines() argument 'families' item %zd must be SornId, SornIdDesc, "
                     "QuibId, QuibIdDesc or None, not %R",
                     c, family);
        return false;
    }
    return true;
}

PyObject* join_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"cols", "families", "row0"};
        const char* fname = "join_lines";
        PyObject* a[3];
        std::uint64_t row0;
        if (!parse_args(fname, names, args, nargs, kwnames, a) ||
            !to_u64(a[2], fname, "row0", row0)) {
            return nullptr;
        }
        // As tuples: a list could change while its items are read.
        Ref cols, families;
        for (auto [obj, arg, out] : {std::tuple{a[0], "cols", &cols}, std::tuple{a[1], "families", &families}}) {
            if (!PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj)) {
                wrong_type(obj, fname, arg, "a sequence");
                return nullptr;
            }
            *out = Ref(PySequence_Tuple(obj));
            if (!*out) return nullptr;
        }
        const Py_ssize_t count = PyTuple_GET_SIZE(cols.get());
        if (PyTuple_GET_SIZE(families.get()) != count) {
            PyErr_Format(PyExc_ValueError, "%s() has %zd columns and %zd families", fname, count,
                         PyTuple_GET_SIZE(families.get()));
            return nullptr;
        }
        std::vector<std::unique_ptr<Chunk>> chunks;
        std::vector<lines::Field> fields;
        bool objects = false;
        std::size_t rows = 0;
        for (Py_ssize_t c = 0; c < count; ++c) {
            lines::Field field;
            unsigned want;
            if (!field_kind(PyTuple_GET_ITEM(families.get(), c), c, field.kind, want)) return nullptr;
            ColumnReader reader;
            const std::size_t before = chunks.size();
            if (!reader.open(PyTuple_GET_ITEM(cols.get(), c), fname, "cols", want) ||
                !reader.read_all(chunks)) {
                return nullptr;
            }
            if (chunks.size() != before + 1) {
                PyErr_Format(PyExc_TypeError,
                             "%s() argument 'cols' item %zd must be one array, not %zu chunks",
                             fname, c, chunks.size() - before);
                return nullptr;
            }
            const Chunk& chunk = *chunks.back();
            if (chunk.kind == Chunk::Kind::Text && chunk.text.ucs4 != nullptr) {
                PyErr_Format(PyExc_TypeError,
                             "%s() argument 'cols' item %zd must be UTF-8 text, not numpy str",
                             fname, c);
                return nullptr;
            }
            if (c > 0 && chunk.length() != rows) {
                PyErr_Format(PyExc_ValueError, "%s() argument 'cols' item %zd has %zu rows, not %zu",
                             fname, c, chunk.length(), rows);
                return nullptr;
            }
            rows = chunk.length();
            field.text = chunk.text;
            field.int64 = chunk.int64;
            field.bytes16 = chunk.bytes16;
            objects = objects || chunk.holds_objects();
            fields.push_back(field);
        }
        std::size_t size = 0;
        if (!lines::joined_size(fields, rows, size) ||
            size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            return PyErr_NoMemory();
        }
        PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
        if (out == nullptr) return nullptr;
        // Nobody else sees the new bytes object yet.
        auto* target = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out));
        auto written = run_kernel(objects, [&] { return lines::join(fields, rows, target, row0); });
        if (!written) {
            Py_DECREF(out);
            return raise_error(written.error());
        }
        // Shrunk to what was written (the size allowed for the longest texts).
        if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(*written)) < 0) return nullptr;
        return out;
    });
}

PyMethodDef functions[] = {
    method("split_lines", split_lines,
           "split_lines(data, blank_null, hex0x)\n--\n\n"
           "The stripped lines of the bytes `data` as a text column, and how many lines it holds."),
    method("join_lines", join_lines,
           "join_lines(cols, families, row0)\n--\n\n"
           "Rows of columns of one length as lines of comma-separated fields, in bytes: text\n"
           "as it stands (family None), or the text forms of values of a class."),
};

}  // namespace

bool add_lines(PyObject* module) {
    return add_functions(module, functions);
}

}  // namespace sornquibid::py::native

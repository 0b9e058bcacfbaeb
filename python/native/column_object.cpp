#include "column_object.hpp"

#include <cstdio>
#include <memory>
#include <new>

#include "arrow_c.hpp"
#include "native.hpp"

namespace sornquibid::py::native {
namespace {

using columns::ColumnOut;
using columns::Type;

struct ColumnObject {
    PyObject_HEAD
    SharedBlock* block;
    ColumnOut layout;
    // What a buffer request is given: one dimension, contiguous.
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
    char format[24];
};

ColumnObject* as_column(PyObject* self) { return reinterpret_cast<ColumnObject*>(self); }

// The struct format and item size of the types numpy reads from a buffer;
// none for the Arrow-only ones.
bool buffer_format(const ColumnOut& layout, char (&format)[24], Py_ssize_t& itemsize) {
    switch (layout.type) {
        case Type::Int64: std::snprintf(format, sizeof format, "q"); itemsize = 8; return true;
        case Type::Int32: std::snprintf(format, sizeof format, "i"); itemsize = 4; return true;
        case Type::BoolBytes: std::snprintf(format, sizeof format, "?"); itemsize = 1; return true;
        case Type::Bytes16:
        case Type::Decimal128: std::snprintf(format, sizeof format, "16s"); itemsize = 16; return true;
        case Type::Ucs4:
            std::snprintf(format, sizeof format, "%zuw", layout.width);
            itemsize = static_cast<Py_ssize_t>(4 * layout.width);
            return true;
        case Type::Bool:
        case Type::Utf8:
        case Type::LargeUtf8: break;
    }
    return false;
}

// The Arrow format of the types Arrow holds; null for the numpy-only ones.
const char* arrow_format(Type type) {
    switch (type) {
        case Type::Int64: return "l";
        case Type::Int32: return "i";
        case Type::Bool: return "b";
        case Type::Bytes16: return "w:16";
        case Type::Decimal128: return "d:27,0";
        case Type::Utf8: return "u";
        case Type::LargeUtf8: return "U";
        case Type::BoolBytes:
        case Type::Ucs4: break;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Buffer protocol

int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    ColumnObject* c = as_column(self);
    view->obj = nullptr;
    Py_ssize_t itemsize = 0;
    char format[24];
    if (!buffer_format(c->layout, format, itemsize)) {
        PyErr_SetString(PyExc_BufferError,
                        "this column has no buffer form; take it through __arrow_c_array__");
        return -1;
    }
    if (c->layout.null_count != 0) {
        PyErr_SetString(PyExc_BufferError,
                        "this column has nulls; take it through __arrow_c_array__");
        return -1;
    }
    // Writable: the memory is the column's own, and the package lends each
    // column to one consumer, whose result it becomes.
    view->buf = const_cast<std::uint8_t*>(c->layout.values);
    view->obj = Py_NewRef(self);
    view->len = static_cast<Py_ssize_t>(c->layout.length) * itemsize;
    view->readonly = 0;
    view->itemsize = itemsize;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? c->format : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? c->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? c->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyBufferProcs column_buffer_procs = {column_getbuffer, nullptr};

// ---------------------------------------------------------------------------
// Arrow export

// What an exported array keeps: its block, and its buffer pointers.
struct ExportedArray {
    SharedBlock* block;
    const void* buffers[3];
};

void release_array(ArrowArray* array) {
    auto* exported = static_cast<ExportedArray*>(array->private_data);
    exported->block->release();
    delete exported;
    array->release = nullptr;
}

// The formats and names are static strings: nothing to free.
void release_schema(ArrowSchema* schema) { schema->release = nullptr; }

void destroy_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) return;
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void destroy_array_capsule(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array == nullptr) return;
    if (array->release != nullptr) array->release(array);
    delete array;
}

// A capsule holding `owned` under `name`, which it frees with `destroy`;
// on failure `owned` is freed here.
template <class T>
Ref make_capsule(std::unique_ptr<T> owned, const char* name, PyCapsule_Destructor destroy) {
    Ref capsule(PyCapsule_New(owned.get(), name, destroy));
    if (capsule) {
        owned.release();
    } else if (owned->release != nullptr) {
        owned->release(owned.get());
    }
    return capsule;
}

PyObject* column_arrow_c_array(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs,
                               PyObject* kwnames) {
    // requested_schema may be given; the column has one type, which it
    // exports whatever is asked for, as the interface allows.
    const Py_ssize_t given = nargs + (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
    if (given > 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) == 1 &&
                      PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0),
                                                       "requested_schema") != 0)) {
        PyErr_SetString(PyExc_TypeError,
                        "__arrow_c_array__() takes at most one argument, requested_schema");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const ColumnObject* c = as_column(self);
        const char* format = arrow_format(c->layout.type);
        if (format == nullptr) {
            PyErr_SetString(PyExc_TypeError, "this column has no Arrow form; take it as a buffer");
            return nullptr;
        }
        auto schema = std::make_unique<ArrowSchema>();
        *schema = ArrowSchema{format, "", nullptr, ARROW_FLAG_NULLABLE, 0, nullptr,
                              nullptr, release_schema, nullptr};
        Ref schema_capsule =
            make_capsule(std::move(schema), "arrow_schema", destroy_schema_capsule);
        if (!schema_capsule) return nullptr;

        auto exported = std::make_unique<ExportedArray>();
        const bool text = c->layout.type == Type::Utf8 || c->layout.type == Type::LargeUtf8;
        exported->buffers[0] = c->layout.validity;
        exported->buffers[1] = text ? c->layout.offsets : c->layout.values;
        exported->buffers[2] = text ? c->layout.values : nullptr;
        auto array = std::make_unique<ArrowArray>();
        *array = ArrowArray{static_cast<std::int64_t>(c->layout.length),
                            static_cast<std::int64_t>(c->layout.null_count),
                            0,
                            text ? 3 : 2,
                            0,
                            exported->buffers,
                            nullptr,
                            nullptr,
                            release_array,
                            nullptr};
        exported->block = c->block;
        c->block->retain();
        array->private_data = exported.release();  // the array's release frees it from here on
        Ref array_capsule = make_capsule(std::move(array), "arrow_array", destroy_array_capsule);
        if (!array_capsule) return nullptr;
        return PyTuple_Pack(2, schema_capsule.get(), array_capsule.get());
    });
}

// The Arrow type of a column (or, for the numpy-only ones, numpy's).
const char* type_name(const ColumnOut& layout) {
    switch (layout.type) {
        case Type::Int64: return "int64";
        case Type::Int32: return "int32";
        case Type::Bool: return "bool";
        case Type::BoolBytes: return "numpy bool";
        case Type::Bytes16: return "fixed_size_binary(16)";
        case Type::Decimal128: return "decimal128(27, 0)";
        case Type::Utf8: return "string";
        case Type::LargeUtf8: return "large_string";
        case Type::Ucs4: break;
    }
    return "numpy str";
}

PyObject* column_repr(PyObject* self) {
    const ColumnOut& layout = as_column(self)->layout;
    return PyUnicode_FromFormat("<sornquibid._native.Column %s, %zu rows, %zu nulls>",
                                type_name(layout), layout.length, layout.null_count);
}

Py_ssize_t column_length(PyObject* self) {
    return static_cast<Py_ssize_t>(as_column(self)->layout.length);
}

PySequenceMethods column_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = column_length;
    return m;
}();

void column_dealloc(PyObject* self) {
    as_column(self)->block->release();
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef column_methods[] = {
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_arrow_c_array)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None, /)\n--\n\n"
     "The column as an Arrow array: (schema capsule, array capsule)."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject ColumnType = [] {
    PyTypeObject t = blank_type("sornquibid._native.Column", sizeof(ColumnObject));
    t.tp_doc = "One column of a column kernel's output. It lends its memory to numpy "
               "(buffer protocol) or to Arrow (__arrow_c_array__) without a copy.";
    t.tp_dealloc = column_dealloc;
    t.tp_repr = column_repr;
    t.tp_as_buffer = &column_buffer_procs;
    t.tp_as_sequence = &column_sequence;
    t.tp_methods = column_methods;
    return t;
}();

}  // namespace

PyObject* new_column(SharedBlock* block, const ColumnOut& layout) {
    auto* c = alloc_instance<ColumnObject>(&ColumnType);
    if (c == nullptr) return nullptr;
    block->retain();
    c->block = block;
    c->layout = layout;
    Py_ssize_t itemsize = 0;
    if (!buffer_format(layout, c->format, itemsize)) c->format[0] = '\0';
    c->shape[0] = static_cast<Py_ssize_t>(layout.length);
    c->strides[0] = itemsize;
    return reinterpret_cast<PyObject*>(c);
}

namespace {

// The block of `output` in shared hands, released when this goes out of
// scope (the Columns made from it hold their own references).
struct Adopted {
    explicit Adopted(columns::Output& output) : block(SharedBlock::adopt(std::move(output.block))) {}
    Adopted(const Adopted&) = delete;
    Adopted& operator=(const Adopted&) = delete;
    ~Adopted() { block->release(); }
    SharedBlock* block;
};

}  // namespace

PyObject* new_columns(columns::Output&& output) {
    Adopted adopted(output);
    if (output.columns.size() == 1) return new_column(adopted.block, output.columns[0]);
    Filling tuple(PyTuple_New(static_cast<Py_ssize_t>(output.columns.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < output.columns.size(); ++i) {
        PyObject* column = new_column(adopted.block, output.columns[i]);
        if (column == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), column);
    }
    return tuple.finish();
}

bool append_columns(PyObject* list, columns::Output&& output) {
    Adopted adopted(output);
    for (const ColumnOut& layout : output.columns) {
        Ref column(new_column(adopted.block, layout));
        if (!column || PyList_Append(list, column.get()) < 0) return false;
    }
    return true;
}

bool add_column_type(PyObject* module) {
    if (!(ColumnType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&ColumnType) < 0) return false;
    return add_to_module(module, "Column",
                         Ref::borrow(reinterpret_cast<PyObject*>(&ColumnType)));
}

}  // namespace sornquibid::py::native

#include "column_input.hpp"

#include <bit>
#include <cstring>
#include <string>

namespace sornquibid::py::native {
namespace {

PyObject* arrow_c_array_name = nullptr;
PyObject* arrow_c_stream_name = nullptr;

// obj.<name>, or null with no exception when it has none (or it is None).
Ref optional_attribute(PyObject* obj, PyObject*& slot, const char* name, bool& failed) {
    failed = false;
    PyObject* key = interned(slot, name);
    if (key == nullptr) {
        failed = true;
        return Ref();
    }
    Ref found(PyObject_GetAttr(obj, key));
    if (!found) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            failed = true;
        }
    } else if (found.get() == Py_None) {
        found.reset();  // a method set to None says the object has none
    }
    return found;
}

// What the layouts of a Want mask are called in messages.
std::string expected_layouts(unsigned want) {
    std::string text;
    auto add = [&](const char* layout) {
        if (!text.empty()) text += " or ";
        text += layout;
    };
    if ((want & kWantInt64) != 0) add("an int64 column (numpy int64, Arrow int64)");
    if ((want & kWantBytes16) != 0) {
        add("a column of 16-byte values (numpy V16, S16 or (n, 16) uint8; Arrow "
            "fixed_size_binary(16), uuid, or binary of 16-byte values)");
    }
    if ((want & kWantText) != 0) {
        add("a text column (numpy str or object array of str; Arrow string, large_string or "
            "string_view)");
    }
    return text;
}

// The name of an Arrow format in messages.
std::string arrow_type_name(const char* format) {
    static const struct {
        const char* format;
        const char* name;
    } names[] = {
        {"n", "null"},         {"b", "boolean"},      {"c", "int8"},        {"C", "uint8"},
        {"s", "int16"},        {"S", "uint16"},       {"i", "int32"},       {"I", "uint32"},
        {"l", "int64"},        {"L", "uint64"},       {"e", "float16"},     {"f", "float32"},
        {"g", "float64"},      {"z", "binary"},       {"Z", "large_binary"}, {"vz", "binary_view"},
        {"u", "string"},       {"U", "large_string"}, {"vu", "string_view"}, {"tdD", "date32"},
    };
    for (const auto& n : names) {
        if (std::strcmp(format, n.format) == 0) return std::string("Arrow ") + n.name;
    }
    if (format[0] == 'w' && format[1] == ':') return "Arrow fixed_size_binary(" + std::string(format + 2) + ")";
    return "Arrow format \"" + std::string(format) + "\"";
}

bool malformed(const std::string& what) {
    raise_value_error("malformed Arrow array: " + what);
    return false;
}

// Whether the struct-module byte order `order` differs from this machine's.
bool swapped(char order) {
    constexpr bool little = std::endian::native == std::endian::little;
    return order == '>' || order == '!' ? little : order == '<' ? !little : false;
}

// Holds the exception being raised, if any, while the producer's callbacks
// run: a release may run code of its own (a producer written in Python),
// which must not find an exception set, nor clear it.
class ExceptionSaved {
public:
    ExceptionSaved() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        saved_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &saved_, &traceback_);
#endif
    }
    ExceptionSaved(const ExceptionSaved&) = delete;
    ExceptionSaved& operator=(const ExceptionSaved&) = delete;
    ~ExceptionSaved() {
        // What the callbacks leave unhandled is theirs; the saved one stands.
        if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(nullptr);
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(saved_);
#else
        PyErr_Restore(type_, saved_, traceback_);
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    PyObject* saved_ = nullptr;
};

}  // namespace

Chunk::~Chunk() {
    const ExceptionSaved saved;
    if (array_.release != nullptr) array_.release(&array_);
    if (has_view_) PyBuffer_Release(&view_);
    // The capsules of an array, released with the exception held too.
    capsules_[0].reset();
    capsules_[1].reset();
}

std::size_t Chunk::length() const noexcept {
    switch (kind) {
        case Kind::Int64: return int64.length;
        case Kind::Bytes16: return bytes16.length;
        case Kind::Text: break;
    }
    return text.length;
}

ColumnReader::~ColumnReader() {
    const ExceptionSaved saved;
    if (schema_.release != nullptr) schema_.release(&schema_);
    stream_capsule_.reset();
}

bool ColumnReader::wrong_layout(const char* what) const {
    const std::string expected = expected_layouts(want_);
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", fname_, arg_,
                 expected.c_str(), what);
    return false;
}

bool ColumnReader::open(PyObject* obj, const char* fname, const char* arg, unsigned want,
                        std::uint64_t row0) {
    obj_ = obj;
    fname_ = fname;
    arg_ = arg;
    want_ = want;
    row_ = row0;
    bool failed = false;
    if (Ref method = optional_attribute(obj, arrow_c_array_name, "__arrow_c_array__", failed)) {
        source_ = Source::Array;
        return true;
    }
    if (failed) return false;
    if (Ref method = optional_attribute(obj, arrow_c_stream_name, "__arrow_c_stream__", failed)) {
        source_ = Source::Stream;
        Ref capsule(PyObject_CallNoArgs(method.get()));
        if (!capsule) return false;
        if (!PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) {
            PyErr_Format(PyExc_TypeError,
                         "%s() argument '%s': __arrow_c_stream__() returned %.200s, not an "
                         "arrow_array_stream capsule",
                         fname, arg, Py_TYPE(capsule.get())->tp_name);
            return false;
        }
        stream_ = static_cast<ArrowArrayStream*>(
            PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
        stream_capsule_ = std::move(capsule);
        if (stream_->release == nullptr) return malformed("the stream is released");
        const int code = stream_->get_schema(stream_, &schema_);
        if (code != 0) {
            schema_.release = nullptr;  // nothing was handed over
            return stream_failed(code);
        }
        return classify(schema_);
    }
    if (failed) return false;
    if (PyObject_CheckBuffer(obj)) {
        source_ = Source::Buffer;
        return true;
    }
    std::string what = Py_TYPE(obj)->tp_name;
    return wrong_layout(what.c_str());
}

bool ColumnReader::stream_failed(int code) {
    const char* message = stream_->get_last_error != nullptr ? stream_->get_last_error(stream_) : nullptr;
    PyErr_Format(PyExc_RuntimeError, "%s() argument '%s': reading the Arrow stream failed: %s",
                 fname_, arg_, message != nullptr ? message : std::strerror(code));
    return false;
}

bool ColumnReader::classify(const ArrowSchema& schema) {
    const char* format = schema.format;
    if (format == nullptr) return malformed("a schema without a format");
    if (schema.dictionary != nullptr) return wrong_layout("a dictionary-encoded Arrow column");
    struct Known {
        const char* format;
        Chunk::Kind kind;
        ArrowLayout layout;
        std::size_t item;
        unsigned want;
    };
    static const Known known[] = {
        {"l", Chunk::Kind::Int64, ArrowLayout::Fixed, 8, kWantInt64},
        {"w:16", Chunk::Kind::Bytes16, ArrowLayout::Fixed, 16, kWantBytes16},
        {"z", Chunk::Kind::Bytes16, ArrowLayout::Offsets32, 0, kWantBytes16},
        {"Z", Chunk::Kind::Bytes16, ArrowLayout::Offsets64, 0, kWantBytes16},
        {"vz", Chunk::Kind::Bytes16, ArrowLayout::Views, 0, kWantBytes16},
        {"u", Chunk::Kind::Text, ArrowLayout::Offsets32, 0, kWantText},
        {"U", Chunk::Kind::Text, ArrowLayout::Offsets64, 0, kWantText},
        {"vu", Chunk::Kind::Text, ArrowLayout::Views, 0, kWantText},
    };
    for (const Known& k : known) {
        if (std::strcmp(format, k.format) == 0 && (want_ & k.want) != 0) {
            arrow_kind_ = k.kind;
            arrow_layout_ = k.layout;
            item_size_ = k.item;
            return true;
        }
    }
    return wrong_layout(arrow_type_name(format).c_str());
}

int ColumnReader::next(std::unique_ptr<Chunk>& out) {
    if (done_) return 0;
    auto chunk = std::make_unique<Chunk>();
    switch (source_) {
        case Source::Buffer:
            done_ = true;
            if (!from_buffer(*chunk)) return -1;
            break;
        case Source::Array: {
            done_ = true;
            bool failed = false;
            Ref method = optional_attribute(obj_, arrow_c_array_name, "__arrow_c_array__", failed);
            if (!method) {
                if (!failed) PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ went away");
                return -1;
            }
            Ref pair(PyObject_CallNoArgs(method.get()));
            if (!pair) return -1;
            if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2 ||
                !PyCapsule_IsValid(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema") ||
                !PyCapsule_IsValid(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array")) {
                PyErr_Format(PyExc_TypeError,
                             "%s() argument '%s': __arrow_c_array__() returned %.200s, not a "
                             "pair of arrow_schema and arrow_array capsules",
                             fname_, arg_, Py_TYPE(pair.get())->tp_name);
                return -1;
            }
            chunk->capsules_[0] = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
            chunk->capsules_[1] = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
            auto* schema = static_cast<ArrowSchema*>(
                PyCapsule_GetPointer(chunk->capsules_[0].get(), "arrow_schema"));
            auto* array = static_cast<ArrowArray*>(
                PyCapsule_GetPointer(chunk->capsules_[1].get(), "arrow_array"));
            if (schema->release == nullptr || array->release == nullptr) {
                malformed("the array or its schema is released");
                return -1;
            }
            if (!classify(*schema) || !from_arrow(*chunk, *array)) return -1;
            break;
        }
        case Source::Stream: {
            const int code = stream_->get_next(stream_, &chunk->array_);
            if (code != 0) {
                chunk->array_.release = nullptr;  // nothing was handed over
                stream_failed(code);
                return -1;
            }
            if (chunk->array_.release == nullptr) {
                done_ = true;
                return 0;
            }
            if (!from_arrow(*chunk, chunk->array_)) return -1;
            break;
        }
    }
    row_ += chunk->length();
    out = std::move(chunk);
    return 1;
}

bool ColumnReader::read_all(std::vector<std::unique_ptr<Chunk>>& out) {
    for (;;) {
        std::unique_ptr<Chunk> chunk;
        const int got = next(chunk);
        if (got < 0) return false;
        if (got == 0) return true;
        out.push_back(std::move(chunk));
    }
}

bool ColumnReader::from_buffer(Chunk& chunk) {
    Py_buffer& view = chunk.view_;
    if (PyObject_GetBuffer(obj_, &view, PyBUF_RECORDS_RO) < 0) return false;
    chunk.has_view_ = true;

    // The struct format: a byte order, a count, one type code.
    const char* f = view.format != nullptr ? view.format : "B";
    char order = '@';
    if (std::strchr("@=<>!", *f) != nullptr && *f != '\0') order = *f++;
    std::size_t count = 0;
    bool counted = false;
    while (*f >= '0' && *f <= '9' && count < 1000000) {
        count = count * 10 + static_cast<std::size_t>(*f++ - '0');
        counted = true;
    }
    if (!counted) count = 1;
    const char code = *f != '\0' && f[1] == '\0' ? *f : '\0';
    const auto itemsize = static_cast<std::size_t>(view.itemsize);
    const bool one_dim = view.ndim == 1 && view.shape != nullptr;

    enum class What : std::uint8_t { None, Int64, Bytes16, Rows16, Ucs4, Objects } what = What::None;
    if ((code == 'q' || code == 'l') && count == 1 && itemsize == 8 && one_dim &&
        (want_ & kWantInt64) != 0 && !swapped(order)) {
        what = What::Int64;
    } else if ((code == 's' || code == 'x') && count == 16 && itemsize == 16 && one_dim &&
               (want_ & kWantBytes16) != 0) {
        what = What::Bytes16;
    } else if (code == 'B' && count == 1 && itemsize == 1 && view.ndim == 2 &&
               view.shape != nullptr && view.shape[1] == 16 && (want_ & kWantBytes16) != 0) {
        what = What::Rows16;
    } else if (code == 'w' && count > 0 && itemsize == 4 * count && one_dim &&
               (want_ & kWantText) != 0 && !swapped(order)) {
        what = What::Ucs4;
    } else if (code == 'O' && count == 1 && itemsize == sizeof(PyObject*) && one_dim &&
               (want_ & (kWantText | kWantBytes16)) != 0) {
        what = What::Objects;
    }
    if (what == What::None) {
        std::string described = swapped(order) && itemsize > 1 ? "a byte-swapped" : "a";
        if (view.ndim != 1) {
            described += ' ';
            described += std::to_string(view.ndim);
            described += "-dimensional";
        }
        described += " buffer of format \"";
        described += view.format != nullptr ? view.format : "B";
        described += '"';
        return wrong_layout(described.c_str());
    }

    const auto n = static_cast<std::size_t>(view.shape[0]);
    const auto* data = static_cast<const std::uint8_t*>(view.buf);
    if (!PyBuffer_IsContiguous(&view, 'C')) {
        // The exporter states the shape and the length; copy by the shape
        // only when the two agree.
        std::size_t bytes = itemsize;
        for (int d = 0; d < view.ndim; ++d) {
            const auto extent = static_cast<std::size_t>(view.shape[d]);
            if (extent != 0 && bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX) / extent) {
                PyErr_SetString(PyExc_BufferError, "buffer shape does not match its length");
                return false;
            }
            bytes *= extent;
        }
        if (bytes != static_cast<std::size_t>(view.len)) {
            PyErr_SetString(PyExc_BufferError, "buffer shape does not match its length");
            return false;
        }
        chunk.copy_.resize(bytes);
        if (PyBuffer_ToContiguous(chunk.copy_.data(), &view, view.len, 'C') < 0) return false;
        data = chunk.copy_.data();
    }
    switch (what) {
        case What::Int64:
            chunk.kind = Chunk::Kind::Int64;
            chunk.int64.values = data;
            chunk.int64.length = n;
            return true;
        case What::Bytes16:
        case What::Rows16:
            chunk.kind = Chunk::Kind::Bytes16;
            chunk.bytes16.values = data;
            chunk.bytes16.length = n;
            return true;
        case What::Ucs4:
            chunk.kind = Chunk::Kind::Text;
            chunk.text.ucs4 = data;
            chunk.text.width = count;
            chunk.text.length = n;
            return true;
        case What::Objects:
            return from_objects(chunk, data, n);
        case What::None: break;
    }
    return false;
}

bool ColumnReader::from_objects(Chunk& chunk, const std::uint8_t* pointers, std::size_t n) {
    auto item_at = [&](std::size_t i) {
        PyObject* item;
        std::memcpy(static_cast<void*>(&item), pointers + i * sizeof(PyObject*), sizeof(PyObject*));
        return item != nullptr ? item : Py_None;
    };
    // Text if it may be and the first item is a str; else bytes.
    const bool text =
        (want_ & kWantText) != 0 &&
        ((want_ & kWantBytes16) == 0 || n == 0 || PyUnicode_Check(item_at(0)));
    chunk.kind = text ? Chunk::Kind::Text : Chunk::Kind::Bytes16;
    chunk.spans_.reserve(n);
    chunk.held_.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        // Each item is held while the chunk lives: reading one may run a
        // finalizer that replaces another in the array.
        chunk.held_.push_back(Ref::borrow(item_at(i)));
        PyObject* item = chunk.held_.back().get();
        if (text && PyUnicode_Check(item)) {
            Py_ssize_t size;
            const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
            if (utf8 == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
                // Lone surrogates: the kernel sees (and refuses) the bytes
                // they would have, and a message shows them replaced.
                PyErr_Clear();
                Ref encoded(PyUnicode_AsEncodedString(item, "utf-8", "surrogatepass"));
                if (!encoded) return false;
                utf8 = PyBytes_AS_STRING(encoded.get());
                size = PyBytes_GET_SIZE(encoded.get());
                chunk.held_.push_back(std::move(encoded));
            }
            chunk.spans_.emplace_back(utf8, static_cast<std::size_t>(size));
        } else if (!text && PyBytes_Check(item)) {
            chunk.spans_.emplace_back(PyBytes_AS_STRING(item),
                                      static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
        } else {
            const std::string row = std::to_string(row_ + i);
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' row %s must be %s, not %.200s",
                         fname_, arg_, row.c_str(), text ? "str" : "bytes",
                         Py_TYPE(item)->tp_name);
            return false;
        }
    }
    columns::Strings spans;
    spans.layout = columns::Strings::Layout::Spans;
    spans.spans = chunk.spans_.data();
    if (text) {
        chunk.text.strings = spans;
        chunk.text.length = n;
    } else {
        chunk.bytes16.strings = spans;
        chunk.bytes16.length = n;
    }
    return true;
}

bool ColumnReader::from_arrow(Chunk& chunk, const ArrowArray& array) {
    if (array.length < 0 || array.offset < 0 || array.null_count < -1) {
        return malformed("a negative length, offset or null count");
    }
    if (array.length > PY_SSIZE_T_MAX - array.offset) return malformed("a length beyond memory");
    const auto n = static_cast<std::size_t>(array.length);
    const auto offset = static_cast<std::size_t>(array.offset);
    if (array.n_children != 0 || array.dictionary != nullptr) {
        return malformed("children or a dictionary in a flat column");
    }
    // Validity and values; with offsets, the data too; with views, the data
    // buffers and their sizes too, of which there may be none.
    const std::int64_t buffers_needed = arrow_layout_ == ArrowLayout::Fixed ? 2 : 3;
    if (arrow_layout_ == ArrowLayout::Views ? array.n_buffers < buffers_needed
                                            : array.n_buffers != buffers_needed) {
        return malformed(std::to_string(array.n_buffers) + " buffers where " +
                         std::to_string(buffers_needed) + " are needed");
    }
    if (array.buffers == nullptr) return malformed("no buffers");
    const auto* const* buffers = reinterpret_cast<const std::uint8_t* const*>(array.buffers);
    columns::Validity validity;
    if (buffers[0] != nullptr && array.null_count != 0) validity = {buffers[0], offset};
    if (n > 0 && buffers[1] == nullptr) return malformed("a missing values buffer");
    // An empty column reads nothing, whatever its buffers.
    static const std::uint8_t kNoRows[16] = {};
    const std::uint8_t* values = n > 0 ? buffers[1] : kNoRows;

    columns::Strings strings;
    switch (arrow_layout_) {
        case ArrowLayout::Fixed:
            break;
        case ArrowLayout::Offsets32:
        case ArrowLayout::Offsets64: {
            const bool wide = arrow_layout_ == ArrowLayout::Offsets64;
            strings.layout = wide ? columns::Strings::Layout::Offsets64 : columns::Strings::Layout::Offsets32;
            strings.offsets = n > 0 ? buffers[1] + offset * (wide ? 8 : 4) : kNoRows;
            strings.data = buffers[2];
            break;
        }
        case ArrowLayout::Views: {
            strings.layout = columns::Strings::Layout::Views;
            strings.offsets = values + (n > 0 ? 16 * offset : 0);
            const auto variadic = static_cast<std::size_t>(array.n_buffers - 3);
            chunk.view_buffers_.assign(buffers + 2, buffers + 2 + variadic);
            strings.buffers = chunk.view_buffers_.data();
            strings.buffer_count = variadic;
            strings.buffer_sizes = buffers[array.n_buffers - 1];
            if (variadic > 0 && strings.buffer_sizes == nullptr) return malformed("no buffer sizes");
            break;
        }
    }
    if (arrow_layout_ != ArrowLayout::Fixed) {
        auto checked = columns::check(strings, n);
        if (!checked) {
            raise_value_error(checked.error());
            return false;
        }
    }
    chunk.kind = arrow_kind_;
    switch (arrow_kind_) {
        case Chunk::Kind::Int64:
            chunk.int64 = {values + (n > 0 ? 8 * offset : 0), n, validity};
            return true;
        case Chunk::Kind::Bytes16:
            chunk.bytes16.length = n;
            chunk.bytes16.validity = validity;
            if (arrow_layout_ == ArrowLayout::Fixed) {
                chunk.bytes16.values = values + (n > 0 ? 16 * offset : 0);
            } else {
                chunk.bytes16.strings = strings;
            }
            return true;
        case Chunk::Kind::Text:
            chunk.text.length = n;
            chunk.text.validity = validity;
            chunk.text.strings = strings;
            return true;
    }
    return false;
}

}  // namespace sornquibid::py::native

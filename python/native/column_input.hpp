// The input of the column kernels: a column argument read as its chunks of
// raw values, from any of
//   - an object with the buffer protocol (a numpy array): one chunk;
//   - an object with __arrow_c_array__ (an Arrow array): one chunk;
//   - an object with __arrow_c_stream__ (a chunked Arrow column): its chunks.
// Nothing else is imported; numpy and Arrow are only protocols here.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "arrow_c.hpp"
#include "binding.hpp"
#include "columns.hpp"

namespace sornquibid::py::native {

// The layouts a function takes, as a mask.
enum Want : unsigned {
    kWantInt64 = 1,
    kWantBytes16 = 2,
    kWantText = 4,
};

// One chunk of a column, with what keeps its memory readable while it
// lives: a buffer view, an Arrow array, or the Python objects its text
// came from.
class Chunk {
public:
    enum class Kind : std::uint8_t { Int64, Bytes16, Text };

    Chunk() = default;
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    ~Chunk();

    Kind kind = Kind::Int64;
    columns::Int64Column int64;
    columns::Bytes16Column bytes16;
    columns::TextColumn text;

    std::size_t length() const noexcept;
    // Whether the values point into Python objects (the items of an object
    // array), so that a kernel over them must keep the interpreter lock.
    bool holds_objects() const noexcept { return !spans_.empty(); }

private:
    friend class ColumnReader;

    // A buffer view (released here).
    Py_buffer view_{};
    bool has_view_ = false;
    // A contiguous copy of a buffer that was not, or pointers of an object
    // array.
    std::vector<std::uint8_t> copy_;
    // An object array's items as spans, and the objects made to hold the
    // UTF-8 of items that had none.
    std::vector<std::string_view> spans_;
    std::vector<Ref> held_;
    // An Arrow array: in the capsule that holds it, or taken from a stream
    // (released here).
    Ref capsules_[2];
    ArrowArray array_{};
    // The data buffers of a view layout.
    std::vector<const std::uint8_t*> view_buffers_;
};

// The chunks of one column argument, read one at a time.
class ColumnReader {
public:
    ColumnReader() = default;
    ColumnReader(const ColumnReader&) = delete;
    ColumnReader& operator=(const ColumnReader&) = delete;
    ~ColumnReader();

    // Opens `obj` as a column of one of the layouts of `want`; `fname` and
    // `arg` name the function and argument in messages, which number rows
    // from `row0`. False with an exception set.
    bool open(PyObject* obj, const char* fname, const char* arg, unsigned want,
              std::uint64_t row0 = 0);

    // The next chunk: 1 with `out` set, 0 after the last, -1 with an
    // exception set.
    int next(std::unique_ptr<Chunk>& out);

    // Every remaining chunk, appended to `out`; false with an exception set.
    bool read_all(std::vector<std::unique_ptr<Chunk>>& out);

private:
    bool wrong_layout(const char* what) const;
    bool classify(const ArrowSchema& schema);
    bool from_buffer(Chunk& chunk);
    bool from_objects(Chunk& chunk, const std::uint8_t* pointers, std::size_t n);
    bool from_arrow(Chunk& chunk, const ArrowArray& array);
    bool stream_failed(int code);

    PyObject* obj_ = nullptr;
    const char* fname_ = "";
    const char* arg_ = "";
    unsigned want_ = 0;
    enum class Source : std::uint8_t { Buffer, Array, Stream } source_ = Source::Buffer;
    bool done_ = false;
    // Stream: its capsule, and its schema (released here).
    Ref stream_capsule_;
    ArrowArrayStream* stream_ = nullptr;
    ArrowSchema schema_{};
    // The layout of an Arrow column, from its format.
    Chunk::Kind arrow_kind_ = Chunk::Kind::Int64;
    enum class ArrowLayout : std::uint8_t { Fixed, Offsets32, Offsets64, Views } arrow_layout_ = ArrowLayout::Fixed;
    std::size_t item_size_ = 0;
    std::uint64_t row_ = 0;  // rows read so far, for messages
};

}  // namespace sornquibid::py::native

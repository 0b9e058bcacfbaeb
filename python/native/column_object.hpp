// The output of the column kernels as Python objects: sornquibid._native.Column,
// one column of values in memory the kernel allocated, which it lends to
// numpy through the buffer protocol and to Arrow implementations through
// the Arrow PyCapsule interface (__arrow_c_array__), without a copy.
#pragma once

#include <atomic>
#include <cstddef>

#include "binding.hpp"
#include "columns.hpp"

namespace sornquibid::py::native {

// The memory of one kernel's output, shared by the Column objects made from
// it and by every Arrow array exported from them. Whichever lets go last
// frees it, on whatever thread, without the interpreter: an Arrow consumer
// may release an array anywhere.
class SharedBlock {
public:
    // Takes over `block`, with one reference held by the caller.
    static SharedBlock* adopt(columns::Block&& block) { return new SharedBlock(std::move(block)); }

    void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

private:
    explicit SharedBlock(columns::Block&& block) noexcept : block_(std::move(block)) {}

    std::atomic<std::size_t> refs_{1};
    columns::Block block_;
};

// A new Column for `layout`, whose buffers lie in `block` (which it retains),
// or null with an exception set.
PyObject* new_column(SharedBlock* block, const columns::ColumnOut& layout);

// The Columns of a kernel's output, taking over its block: a single Column
// when it has one column, else a tuple of them, in order.
PyObject* new_columns(columns::Output&& output);
// Each column of a kernel's output as a Column, appended to `list`.
bool append_columns(PyObject* list, columns::Output&& output);

// Adds the type Column to the module.
bool add_column_type(PyObject* module);

}  // namespace sornquibid::py::native

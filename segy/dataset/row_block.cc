#include <Python.h>

// Blocks are mapped the way NumPy allocates its large arrays, so that a result costs what a fresh
// array of its size costs: at 4 MiB and more the mapping starts on a 2 MiB boundary and the kernel
// is asked for huge pages (one fault a 2 MiB page instead of 512). Growing remaps, which neither
// copies nor touches the pages, so a block may be sized from a bound and grown as rows arrive
// without cost for the room it never fills.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "segy/dataset/row_block.h"

namespace vandor::segymod {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = std::size_t{4} << 20;

struct RowBlockObject {
    PyObject_HEAD
    char* data;          // null while nothing is mapped
    std::size_t mapped;  // bytes mapped at data, whole pages
    Py_ssize_t size;     // bytes in use
    Py_ssize_t exports;  // buffer views outstanding: no resize meanwhile
};

RowBlockObject* as_block(PyObject* p) {
    return reinterpret_cast<RowBlockObject*>(p);
}

std::size_t whole_pages(std::size_t n) {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

void ask_huge(char* data, std::size_t len) {
    if (len >= kHugeFrom) madvise(data, len, MADV_HUGEPAGE);  // only advice: ignored where unknown
}

// A new mapping of `len` bytes (whole pages), 2 MiB aligned when large; null when none is left.
char* map_fresh(std::size_t len) {
    const std::size_t slack = len >= kHugeFrom ? kHugePage : 0;
    void* p =
        mmap(nullptr, len + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    char* base = static_cast<char*>(p);
    char* data = base;
    if (slack != 0) {
        const auto at = reinterpret_cast<std::uintptr_t>(base);
        data = base + (kHugePage - at % kHugePage) % kHugePage;
        if (data > base) munmap(base, static_cast<std::size_t>(data - base));
        const std::size_t tail = static_cast<std::size_t>(base + len + slack - (data + len));
        if (tail > 0) munmap(data + len, tail);
    }
    ask_huge(data, len);
    return data;
}

void row_block_dealloc(PyObject* self) {
    RowBlockObject* b = as_block(self);
    if (b->data != nullptr) munmap(b->data, b->mapped);
    Py_TYPE(self)->tp_free(self);
}

int row_block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    RowBlockObject* b = as_block(self);
    static char empty;
    void* buf = b->data != nullptr ? b->data : &empty;
    if (PyBuffer_FillInfo(view, self, buf, b->size, 0, flags) < 0) return -1;
    ++b->exports;
    return 0;
}

void row_block_releasebuffer(PyObject* self, Py_buffer*) {
    --as_block(self)->exports;
}

PyBufferProcs row_block_as_buffer = {
    .bf_getbuffer = row_block_getbuffer,
    .bf_releasebuffer = row_block_releasebuffer,
};

PyTypeObject RowBlockType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "vandor.segy._RowBlock",
    .tp_basicsize = sizeof(RowBlockObject),
    .tp_dealloc = row_block_dealloc,
    .tp_as_buffer = &row_block_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Memory of rows read from a dataset, viewed by the arrays made from them.",
};

}  // namespace

PyObject* row_block_new() {
    if (!PyType_HasFeature(&RowBlockType, Py_TPFLAGS_READY) && PyType_Ready(&RowBlockType) < 0) {
        return nullptr;
    }
    return PyType_GenericAlloc(&RowBlockType, 0);
}

int row_block_resize(PyObject* block, Py_ssize_t size) {
    RowBlockObject* b = as_block(block);
    if (b->exports > 0) {
        PyErr_SetString(PyExc_BufferError, "rows are viewed by an array");
        return -1;
    }
    const std::size_t want = whole_pages(static_cast<std::size_t>(size));
    if (want == b->mapped) {
        b->size = size;
        return 0;
    }
    if (want == 0) {
        munmap(b->data, b->mapped);
        b->data = nullptr;
    } else if (b->data == nullptr) {
        b->data = map_fresh(want);
        if (b->data == nullptr) {
            b->mapped = 0;
            b->size = 0;
            PyErr_NoMemory();
            return -1;
        }
    } else {
        void* p = mremap(b->data, b->mapped, want, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) {
            PyErr_NoMemory();
            return -1;
        }
        b->data = static_cast<char*>(p);
        if (want > b->mapped) ask_huge(b->data, want);
    }
    b->mapped = want;
    b->size = size;
    return 0;
}

char* row_block_data(PyObject* block) {
    return as_block(block)->data;
}

}  // namespace vandor::segymod

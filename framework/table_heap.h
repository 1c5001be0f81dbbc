// Where a table's rows, cell vectors and index nodes live: a pool of this module's own, with one
// list of free blocks per size (in steps of 16 bytes, up to 4 KB) carved from 1 MB chunks, so
// that an allocation or a release takes constant time. Wine's heap finds a block by walking its
// free blocks first-fit; in the heap shared with everything else, the small blocks others leave
// behind made each new row walk further, and a first bind grew with the square of the table.
// Larger blocks go to a heap of the module's own. Chunks are kept for the life of the module: a freed
// table's blocks serve the next one.
// Any thread.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace kv {

// Throws std::bad_alloc when no memory is left. Free with the size it was allocated with.
void* TableHeapAlloc(size_t bytes);
void TableHeapFree(void* block, size_t bytes) noexcept;

// An allocator for standard containers that keep per-row data.
template <class T>
struct TableAllocator {
    using value_type = T;
    TableAllocator() noexcept = default;
    template <class U>
    TableAllocator(const TableAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(TableHeapAlloc(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { TableHeapFree(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const TableAllocator<U>&) const noexcept { return true; }
};

// A vector in the table heap, for per-row arrays such as a sort's working copies.
template <class T>
using TableVector = std::vector<T, TableAllocator<T>>;

}  // namespace kv

#include "framework/table_heap.h"

#include <windows.h>

namespace kv {

namespace {

constexpr size_t kStep = 16;
constexpr size_t kLargest = 4096;
constexpr size_t kClasses = kLargest / kStep;
constexpr size_t kChunk = size_t{1} << 20;

struct FreeBlock {
    FreeBlock* next;
};

// Made on first use and never destroyed: blocks may be released while the module unloads.
struct Pool {
    SRWLOCK lock = SRWLOCK_INIT;
    FreeBlock* free[kClasses + 1] = {};
    char* next = nullptr;
    char* end = nullptr;
};

Pool& ThePool() {
    static Pool* pool = new Pool;
    return *pool;
}

// Larger blocks (a sort's working arrays, a table's index) come from a heap of the module's
// own as well, where only the tables' own large blocks are ever freed.
HANDLE LargeHeap() {
    static const HANDLE heap = [] {
        HANDLE h = HeapCreate(0, 0, 0);
        return h ? h : GetProcessHeap();
    }();
    return heap;
}

size_t ClassOf(size_t bytes) noexcept { return bytes ? (bytes + kStep - 1) / kStep : 1; }

class Exclusive {
public:
    explicit Exclusive(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Exclusive() { ReleaseSRWLockExclusive(&lock_); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

private:
    SRWLOCK& lock_;
};

}  // namespace

void* TableHeapAlloc(size_t bytes) {
    const size_t cls = ClassOf(bytes);
    if (cls > kClasses) {
        void* block = HeapAlloc(LargeHeap(), 0, bytes);
        if (!block) throw std::bad_alloc();
        return block;
    }
    Pool& pool = ThePool();
    Exclusive hold(pool.lock);
    if (FreeBlock* block = pool.free[cls]) {
        pool.free[cls] = block->next;
        return block;
    }
    const size_t size = cls * kStep;
    if (static_cast<size_t>(pool.end - pool.next) < size) {
        // The rest of the old chunk (less than one block) is left unused.
        auto* chunk = static_cast<char*>(VirtualAlloc(nullptr, kChunk, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (!chunk) throw std::bad_alloc();
        pool.next = chunk;
        pool.end = chunk + kChunk;
    }
    void* block = pool.next;
    pool.next += size;
    return block;
}

void TableHeapFree(void* block, size_t bytes) noexcept {
    if (!block) return;
    const size_t cls = ClassOf(bytes);
    if (cls > kClasses) {
        HeapFree(LargeHeap(), 0, block);
        return;
    }
    Pool& pool = ThePool();
    Exclusive hold(pool.lock);
    auto* free = static_cast<FreeBlock*>(block);
    free->next = pool.free[cls];
    pool.free[cls] = free;
}

}  // namespace kv

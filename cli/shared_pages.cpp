#include "cli/shared_pages.h"

#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace {

void* fresh_mapping(size_t size, int sharing) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, sharing | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

/// Puts `mapping` (size bytes, holding the range's bytes) in place of the range; false when it cannot.
bool move_over(void* mapping, void* range, size_t size) {
    return mremap(mapping, size, size, MREMAP_MAYMOVE | MREMAP_FIXED, range) != MAP_FAILED;
}

} // namespace

bool share_pages(void* begin, size_t size, SharedPages* shared) {
    *shared = SharedPages{};
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<uintptr_t>(begin);
    const uintptr_t first = (start + page - 1) / page * page;
    const uintptr_t end = (start + size) / page * page;
    if (end <= first) {
        return true; // no whole page inside
    }
    const size_t bytes = end - first;
    void* const range = reinterpret_cast<void*>(first);
    void* mapping = fresh_mapping(bytes, MAP_SHARED);
    if (mapping == nullptr) {
        return false;
    }
    std::memcpy(mapping, range, bytes);
    if (!move_over(mapping, range, bytes)) {
        munmap(mapping, bytes);
        return false;
    }
    (void)mprotect(range, bytes, PROT_READ); // a write faults instead of reaching every copy
    *shared = SharedPages{range, bytes};
    return true;
}

void unshare_pages(SharedPages* shared) {
    if (shared->begin == nullptr) {
        return;
    }
    void* mapping = fresh_mapping(shared->size, MAP_PRIVATE);
    if (mapping != nullptr) {
        std::memcpy(mapping, shared->begin, shared->size);
        if (move_over(mapping, shared->begin, shared->size)) {
            *shared = SharedPages{};
            return;
        }
        munmap(mapping, shared->size);
    }
    // Still shared, but writable: once no copy is left, as good as private.
    (void)mprotect(shared->begin, shared->size, PROT_READ | PROT_WRITE);
    *shared = SharedPages{};
}

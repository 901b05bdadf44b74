// Pages that the copies of a process only read, kept out of what a fork copies.
//
// A fork copies the page table entries of every private page the process has written, and a copy that ends
// unmaps them again: for the checkpoint engine, which forks once per experiment, that costs in proportion to
// the worker's written memory, not to what the experiment touches. Most of that memory is the controllers'
// message descriptor lists (1.1 MB each, nearly all of it the table of unused modes and slots), constant once
// the cluster is built. share_pages moves the whole pages of such a range into a shared mapping with the
// same bytes at the same addresses, read-only: a fork copies no entries of a shared mapping (a copy maps the
// few pages it reads when it reads them), and a write to them, which would reach every copy, faults at once
// instead. unshare_pages makes them private and writable again, as they were, before the memory is freed.
#pragma once

#include <cstddef>

struct SharedPages {
    void* begin = nullptr; // the first whole page of the range; null: nothing shared
    size_t size = 0;       // bytes, whole pages
};

/// Shares the whole pages inside [begin, begin + size); false (and nothing changed) when the system refuses.
bool share_pages(void* begin, size_t size, SharedPages* shared);
/// Makes shared pages private and writable again with the same bytes; nothing for a range not shared.
void unshare_pages(SharedPages* shared);

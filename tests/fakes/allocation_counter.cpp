#include "tests/fakes/allocation_counter.h"

#include <cstddef>

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
}

namespace {
// Atomic: gtest and Wine's own threads may allocate while a test counts.
volatile long g_allocations = 0;
}

extern "C" {
void* __wrap_malloc(size_t size) {
    __atomic_add_fetch(&g_allocations, 1, __ATOMIC_RELAXED);
    return __real_malloc(size);
}
void* __wrap_calloc(size_t count, size_t size) {
    __atomic_add_fetch(&g_allocations, 1, __ATOMIC_RELAXED);
    return __real_calloc(count, size);
}
void* __wrap_realloc(void* block, size_t size) {
    __atomic_add_fetch(&g_allocations, 1, __ATOMIC_RELAXED);
    return __real_realloc(block, size);
}
}

namespace fake {
long AllocationCount() { return __atomic_load_n(&g_allocations, __ATOMIC_RELAXED); }
}  // namespace fake

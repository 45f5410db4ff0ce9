// Counts the memory allocations the process makes between alloc_count_start and
// alloc_count_stop, on any thread and from any library.
//
// Under AddressSanitizer or ThreadSanitizer the sanitizer's allocator hook sees every malloc,
// calloc, realloc and operator new of the process. Without a sanitizer, operator new is
// replaced by a counting one and the C allocation calls of the statically linked code are
// routed through counting wrappers by the linker (-Wl,--wrap=malloc and friends).
#pragma once
#include <cstdint>

void alloc_count_start();
// The allocations made since alloc_count_start.
int64_t alloc_count_stop();
// Which mechanism counts ("sanitizer hook" or "operator new + --wrap"), for the test output.
const char *alloc_count_method();

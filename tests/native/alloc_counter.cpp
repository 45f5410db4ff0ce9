// The allocation counter of the native tests (see alloc_counter.h).
#include "tests/native/alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ALLOC_COUNT_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ALLOC_COUNT_SANITIZER 1
#endif

static std::atomic<bool> alloc_counting;    // test thread sets; any allocating thread reads
static std::atomic<int64_t> alloc_counted;  // any allocating thread adds while counting

static void alloc_note()
{
    if (alloc_counting.load(std::memory_order_relaxed))
        alloc_counted.fetch_add(1, std::memory_order_relaxed);
}

void alloc_count_start()
{
    alloc_counted.store(0);
    alloc_counting.store(true);
}

int64_t alloc_count_stop()
{
    alloc_counting.store(false);
    return alloc_counted.load();
}

#ifdef ALLOC_COUNT_SANITIZER
// The sanitizers' allocator hook interface (declared here: gcc installs no header for it).
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void *, size_t), void (*free_hook)(const volatile void *));

const char *alloc_count_method() { return "sanitizer hook"; }

static void alloc_hook(const volatile void *, size_t) { alloc_note(); }
static void free_hook(const volatile void *) {} // the sanitizer installs hooks in pairs only

// Installed before main: the sanitizer calls it for every allocation of the process.
[[maybe_unused]] static const int alloc_hook_installed =
    __sanitizer_install_malloc_and_free_hooks(alloc_hook, free_hook);

#else

const char *alloc_count_method() { return "operator new + --wrap"; }

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t n, size_t size);
void *__real_realloc(void *p, size_t size);
void *__real_aligned_alloc(size_t alignment, size_t size);
int __real_posix_memalign(void **p, size_t alignment, size_t size);
void *__wrap_malloc(size_t size) { alloc_note(); return __real_malloc(size); }
void *__wrap_calloc(size_t n, size_t size) { alloc_note(); return __real_calloc(n, size); }
void *__wrap_realloc(void *p, size_t size) { alloc_note(); return __real_realloc(p, size); }
void *__wrap_aligned_alloc(size_t alignment, size_t size)
{
    alloc_note();
    return __real_aligned_alloc(alignment, size);
}
int __wrap_posix_memalign(void **p, size_t alignment, size_t size)
{
    alloc_note();
    return __real_posix_memalign(p, alignment, size);
}
}

// Counting replacements of the global operator new; the deleting forms pair with them. They
// allocate through __real_malloc so that one allocation counts once.
static void *alloc_new(size_t size)
{
    alloc_note();
    void *p = __real_malloc(size ? size : 1);
    if (!p) abort(); // the tests are built without exceptions to throw bad_alloc with
    return p;
}
void *operator new(size_t size) { return alloc_new(size); }
void *operator new[](size_t size) { return alloc_new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return alloc_new(size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return alloc_new(size); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }
#endif

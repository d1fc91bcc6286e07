/* Fails chosen allocations of one thread, preloaded into an interpreter (LD_PRELOAD) so that
 * tools/alloc_failure.py can make every allocation of a call fail in turn.
 *
 * failalloc_arm(n, count), called from the thread under test, starts counting that thread's
 * requests (malloc, calloc, realloc, posix_memalign, aligned_alloc, memalign, valloc, pvalloc
 * and the C++ operator new) from 0 and fails those numbered n to n + count - 1: NULL with
 * errno ENOMEM, or std::bad_alloc from a throwing operator new. failalloc_disarm() stops it
 * and returns how many requests were counted, so a count of n or less means that the call
 * never reached request n. Other threads are neither counted nor failed.
 *
 * failalloc_watch(low, high) names a range of code addresses (a function of the interpreter);
 * failalloc_failed_watched() then tells how many of the requests failed since arming were
 * made with a return address in that range on their stack. failalloc_failed_frames(i, ...)
 * gives the return addresses on the stack of the ith failed request, for the first 16.
 *
 * Preloaded before a sanitizer's runtime, it hands what it does not fail to that one's functions.
 * tools/alloc_failure.py builds it with the system's cc (-shared -fPIC -fexceptions, since C++
 * exceptions are thrown through its operator new).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <pthread.h>
#include <stdalign.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

static void *(*real_malloc)(size_t);
static void *(*real_calloc)(size_t, size_t);
static void *(*real_realloc)(void *, size_t);
static void (*real_free)(void *);
static int (*real_posix_memalign)(void **, size_t, size_t);
static void *(*real_aligned_alloc)(size_t, size_t);
static void *(*real_memalign)(size_t, size_t);
static void *(*real_valloc)(size_t);
static void *(*real_pvalloc)(size_t);

/* dlsym may allocate (its error state) before the functions it looks up are known. Those few
 * requests come from here, each behind a header that records its size, and are never freed. */
#define HEADER 16
static alignas(16) unsigned char bootstrap[64 * 1024];
static size_t bootstrap_used;
static int resolving;

static int from_bootstrap(const void *p) {
    return (const unsigned char *)p >= bootstrap && (const unsigned char *)p < bootstrap + sizeof bootstrap;
}

static void *bootstrap_alloc(size_t size) {
    size_t need = HEADER + ((size + 15) & ~(size_t)15);
    size_t at = __atomic_fetch_add(&bootstrap_used, need, __ATOMIC_RELAXED);
    if (size > sizeof bootstrap || at + need > sizeof bootstrap) {
        errno = ENOMEM;
        return NULL;
    }
    memcpy(bootstrap + at, &size, sizeof size);
    return bootstrap + at + HEADER; /* static storage: already zero */
}

static void resolve(void) {
    if (real_free != NULL)
        return;
    resolving = 1;
    real_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
    real_calloc = (void *(*)(size_t, size_t))dlsym(RTLD_NEXT, "calloc");
    real_realloc = (void *(*)(void *, size_t))dlsym(RTLD_NEXT, "realloc");
    real_posix_memalign = (int (*)(void **, size_t, size_t))dlsym(RTLD_NEXT, "posix_memalign");
    real_aligned_alloc = (void *(*)(size_t, size_t))dlsym(RTLD_NEXT, "aligned_alloc");
    real_memalign = (void *(*)(size_t, size_t))dlsym(RTLD_NEXT, "memalign");
    real_valloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "valloc");
    real_pvalloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "pvalloc");
    __atomic_store_n(&real_free, (void (*)(void *))dlsym(RTLD_NEXT, "free"), __ATOMIC_RELEASE);
    resolving = 0;
    if (real_malloc == NULL || real_calloc == NULL || real_realloc == NULL || real_free == NULL ||
        real_posix_memalign == NULL || real_memalign == NULL)
        abort();
}

__attribute__((constructor)) static void resolve_at_load(void) { resolve(); }

/* std::__throw_bad_alloc of the C++ runtime, once found (below). */
static void (*throw_bad_alloc)(void);
static void find_cxx_runtime(void);

/* The arming thread and its count. Only that thread changes the count; `armed` is read by all. */
static int armed;
static pthread_t armed_thread;
static long long counted, fail_from, fail_until, failed;

/* Code addresses [watch_low, watch_high) to look for on the stack of each failed request, and
 * how many failed requests had one there (failalloc_watch). */
static uintptr_t watch_low, watch_high;
static long long failed_watched;

/* The return addresses on the stack of the first failed requests since arming. */
#define RECORDED 16
#define RECORDED_FRAMES 24
static void *recorded[RECORDED][RECORDED_FRAMES];
static int recorded_frames[RECORDED];
static int unwinding; /* the armed thread is inside backtrace(): its own requests pass */

static void record_failure(long long index) {
    void *frames[RECORDED_FRAMES];
    unwinding = 1;
    int n = backtrace(frames, RECORDED_FRAMES);
    unwinding = 0;
    if (index < RECORDED) {
        memcpy(recorded[index], frames, (size_t)n * sizeof frames[0]);
        recorded_frames[index] = n;
    }
    for (int i = 0; i < n; ++i)
        if (watch_high != 0 && (uintptr_t)frames[i] >= watch_low && (uintptr_t)frames[i] < watch_high) {
            failed_watched++;
            break;
        }
}

/* Whether this request of the calling thread is to fail; counts it when the thread is armed. */
static int should_fail(void) {
    if (!__atomic_load_n(&armed, __ATOMIC_ACQUIRE) || !pthread_equal(pthread_self(), armed_thread) || unwinding)
        return 0;
    long long number = counted++;
    if (number >= fail_from && number < fail_until) {
        record_failure(failed++);
        return 1;
    }
    return 0;
}

static void *refuse(void) {
    errno = ENOMEM;
    return NULL;
}

EXPORT void failalloc_arm(long long n, long long count) {
    __atomic_store_n(&armed, 0, __ATOMIC_RELEASE);
    /* The unwinder's first use loads it, which allocates: done now, unarmed. */
    void *frames[2];
    backtrace(frames, 2);
    /* Looked up now where it can be, so that no armed request is spent on it. */
    if (__atomic_load_n(&throw_bad_alloc, __ATOMIC_ACQUIRE) == NULL &&
        dlopen("libstdc++.so.6", RTLD_LAZY | RTLD_NOLOAD) != NULL)
        find_cxx_runtime();
    armed_thread = pthread_self();
    counted = 0;
    failed = 0;
    failed_watched = 0;
    fail_from = n;
    fail_until = count > 0 ? n + count : n;
    __atomic_store_n(&armed, 1, __ATOMIC_RELEASE);
}

/* Counts, from now on, the failed requests made with a return address in [low, high) on their stack. */
EXPORT void failalloc_watch(uintptr_t low, uintptr_t high) {
    watch_low = low;
    watch_high = high;
}

/* The return addresses on the stack of failed request i (0 for the first since arming), innermost
 * first, the library's own included: how many were recorded, at most `size`; 0 beyond the first 16. */
EXPORT int failalloc_failed_frames(int i, void **out, int size) {
    if (i < 0 || i >= RECORDED || i >= failed)
        return 0;
    int n = recorded_frames[i] < size ? recorded_frames[i] : size;
    memcpy(out, recorded[i], (size_t)n * sizeof out[0]);
    return n;
}

/* How many requests the last arming failed with a watched address on their stack. */
EXPORT long long failalloc_failed_watched(void) { return failed_watched; }

EXPORT long long failalloc_disarm(void) {
    __atomic_store_n(&armed, 0, __ATOMIC_RELEASE);
    return counted;
}

/* How many requests the last arming failed. */
EXPORT long long failalloc_failed(void) { return failed; }

EXPORT void *malloc(size_t size) {
    if (real_malloc == NULL) {
        if (resolving)
            return bootstrap_alloc(size);
        resolve();
    }
    if (should_fail())
        return refuse();
    return real_malloc(size);
}

EXPORT void *calloc(size_t n, size_t size) {
    if (real_calloc == NULL) {
        if (resolving) {
            if (size != 0 && n > (size_t)-1 / size)
                return refuse();
            return bootstrap_alloc(n * size);
        }
        resolve();
    }
    if (should_fail())
        return refuse();
    return real_calloc(n, size);
}

EXPORT void *realloc(void *p, size_t size) {
    if (p != NULL && from_bootstrap(p)) {
        size_t old;
        memcpy(&old, (unsigned char *)p - HEADER, sizeof old);
        void *moved = malloc(size);
        if (moved != NULL)
            memcpy(moved, p, old < size ? old : size);
        return moved;
    }
    if (real_realloc == NULL)
        resolve();
    /* realloc(p, 0) frees: only a request for memory is counted. */
    if (size != 0 && should_fail())
        return refuse();
    return real_realloc(p, size);
}

EXPORT void free(void *p) {
    if (p == NULL || from_bootstrap(p))
        return;
    if (real_free == NULL)
        resolve();
    real_free(p);
}

EXPORT int posix_memalign(void **out, size_t alignment, size_t size) {
    if (real_posix_memalign == NULL)
        resolve();
    if (should_fail())
        return ENOMEM;
    return real_posix_memalign(out, alignment, size);
}

EXPORT void *aligned_alloc(size_t alignment, size_t size) {
    if (real_aligned_alloc == NULL)
        resolve();
    if (should_fail())
        return refuse();
    return real_aligned_alloc != NULL ? real_aligned_alloc(alignment, size) : real_memalign(alignment, size);
}

EXPORT void *memalign(size_t alignment, size_t size) {
    if (real_memalign == NULL)
        resolve();
    if (should_fail())
        return refuse();
    return real_memalign(alignment, size);
}

EXPORT void *valloc(size_t size) {
    if (real_valloc == NULL)
        resolve();
    if (should_fail())
        return refuse();
    return real_valloc(size);
}

EXPORT void *pvalloc(size_t size) {
    if (real_pvalloc == NULL)
        resolve();
    if (should_fail())
        return refuse();
    return real_pvalloc(size);
}

/* The C++ operator new and delete, as libstdc++ defines them, on top of the functions above.
 * Without them a sanitizer runtime's own operator new, which does not call malloc, would serve
 * the C++ code and never fail. The delete operators pair with them and free through free();
 * the size and alignment arguments of the sized and aligned ones are not needed. */
typedef void (*new_handler_fn)(void);
static new_handler_fn (*get_new_handler)(void);

/* The C++ runtime is loaded by whoever calls operator new, often as a dependency of a module
 * opened with RTLD_LOCAL, whose symbols RTLD_DEFAULT does not see: it is asked by name. */
static void find_cxx_runtime(void) {
    if (__atomic_load_n(&throw_bad_alloc, __ATOMIC_ACQUIRE) != NULL)
        return;
    void *runtime = dlopen("libstdc++.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (runtime == NULL)
        runtime = dlopen("libstdc++.so.6", RTLD_LAZY);
    if (runtime == NULL)
        abort();
    get_new_handler = (new_handler_fn(*)(void))dlsym(runtime, "_ZSt15get_new_handlerv");
    void (*thrower)(void) = (void (*)(void))dlsym(runtime, "_ZSt17__throw_bad_allocv");
    if (get_new_handler == NULL || thrower == NULL)
        abort();
    __atomic_store_n(&throw_bad_alloc, thrower, __ATOMIC_RELEASE);
}

/* What a throwing operator new does: retry through the new-handler while there is one, else throw. */
static void *cxx_new(size_t size, size_t alignment) {
    find_cxx_runtime();
    if (size == 0)
        size = 1;
    for (;;) {
        void *p = NULL;
        if (alignment == 0)
            p = malloc(size);
        else if (posix_memalign(&p, alignment, size) != 0)
            p = NULL;
        if (p != NULL)
            return p;
        new_handler_fn handler = get_new_handler();
        if (handler == NULL) {
            throw_bad_alloc();
            abort(); /* not reached: it throws */
        }
        handler();
    }
}

/* The nothrow forms: NULL where the throwing one would throw. A C function cannot catch, so
 * they try once and do not call the new-handler, which may throw. */
static void *cxx_new_nothrow(size_t size, size_t alignment) {
    if (size == 0)
        size = 1;
    void *p = NULL;
    if (alignment == 0)
        return malloc(size);
    return posix_memalign(&p, alignment, size) == 0 ? p : NULL;
}

EXPORT void *_Znwm(size_t size) { return cxx_new(size, 0); }
EXPORT void *_Znam(size_t size) { return cxx_new(size, 0); }
EXPORT void *_ZnwmSt11align_val_t(size_t size, size_t alignment) { return cxx_new(size, alignment); }
EXPORT void *_ZnamSt11align_val_t(size_t size, size_t alignment) { return cxx_new(size, alignment); }
EXPORT void *_ZnwmRKSt9nothrow_t(size_t size, const void *tag) {
    (void)tag;
    return cxx_new_nothrow(size, 0);
}
EXPORT void *_ZnamRKSt9nothrow_t(size_t size, const void *tag) {
    (void)tag;
    return cxx_new_nothrow(size, 0);
}
EXPORT void *_ZnwmSt11align_val_tRKSt9nothrow_t(size_t size, size_t alignment, const void *tag) {
    (void)tag;
    return cxx_new_nothrow(size, alignment);
}
EXPORT void *_ZnamSt11align_val_tRKSt9nothrow_t(size_t size, size_t alignment, const void *tag) {
    (void)tag;
    return cxx_new_nothrow(size, alignment);
}

EXPORT void _ZdlPv(void *p) { free(p); }
EXPORT void _ZdaPv(void *p) { free(p); }
EXPORT void _ZdlPvm(void *p, size_t size) {
    (void)size;
    free(p);
}
EXPORT void _ZdaPvm(void *p, size_t size) {
    (void)size;
    free(p);
}
EXPORT void _ZdlPvSt11align_val_t(void *p, size_t alignment) {
    (void)alignment;
    free(p);
}
EXPORT void _ZdaPvSt11align_val_t(void *p, size_t alignment) {
    (void)alignment;
    free(p);
}
EXPORT void _ZdlPvmSt11align_val_t(void *p, size_t size, size_t alignment) {
    (void)size;
    (void)alignment;
    free(p);
}
EXPORT void _ZdaPvmSt11align_val_t(void *p, size_t size, size_t alignment) {
    (void)size;
    (void)alignment;
    free(p);
}
EXPORT void _ZdlPvRKSt9nothrow_t(void *p, const void *tag) {
    (void)tag;
    free(p);
}
EXPORT void _ZdaPvRKSt9nothrow_t(void *p, const void *tag) {
    (void)tag;
    free(p);
}
EXPORT void _ZdlPvSt11align_val_tRKSt9nothrow_t(void *p, size_t alignment, const void *tag) {
    (void)alignment;
    (void)tag;
    free(p);
}
EXPORT void _ZdaPvSt11align_val_tRKSt9nothrow_t(void *p, size_t alignment, const void *tag) {
    (void)alignment;
    (void)tag;
    free(p);
}

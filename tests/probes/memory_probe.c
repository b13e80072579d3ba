/* An LD_PRELOAD library for tests that watch what a call does with memory.
 *
 * Allocation failures: probe_fail_from(k, persistent) prepares the k-th
 * allocation after arming to fail (k = 1 is the first one), and with
 * `persistent` every later one too; probe_allocations() tells how many
 * allocations were seen since. Setting the variable probe_armed to 1 arms
 * the probe and setting it to 0 disarms it: plain stores, which (unlike a
 * call through ctypes, which builds its argument tuple and result) need no
 * memory while none can be had.
 *
 * Residue: probe_set_needles() takes 8-byte patterns; while probe_watch(1)
 * is on, every block handed back to free() or realloc() is searched for
 * them first. probe_scan_stacks() searches the dead part of the main
 * thread's stack and the whole stacks of the other threads (idle pool
 * workers), and probe_clear_dead_stack() zeroes that part of the main
 * stack, so that what the test itself computed does not count.
 *
 * glibc's __libc_* entry points give the real allocator without dlsym,
 * which would itself allocate. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void __libc_free(void*);
extern void* __libc_memalign(size_t, size_t);

#define NEEDLE 8
#define MAX_NEEDLES 4096
#define MAX_THREADS 256

atomic_int probe_armed;
static atomic_long g_countdown;  /* 0: off; else allocations left before failing */
static atomic_int g_persistent;
static atomic_int g_failing;
static atomic_long g_seen;

static unsigned char g_needles[MAX_NEEDLES][NEEDLE];
static atomic_int g_needle_count;
static atomic_int g_watching;
static atomic_long g_hits;
static char g_first_hit[256];

static pthread_t g_threads[MAX_THREADS];
static atomic_int g_thread_count;

void probe_fail_from(long k, int persistent) {
  atomic_store(&g_failing, 0);
  atomic_store(&g_persistent, persistent);
  atomic_store(&g_seen, 0);
  atomic_store(&g_countdown, k);
}

void probe_stop_failing(void) {
  atomic_store(&probe_armed, 0);
  atomic_store(&g_countdown, 0);
  atomic_store(&g_failing, 0);
}

long probe_allocations(void) { return atomic_load(&g_seen); }

static int should_fail(void) {
  if (!atomic_load(&probe_armed)) return 0;
  if (atomic_load(&g_countdown) == 0 && !atomic_load(&g_failing)) return 0;
  atomic_fetch_add(&g_seen, 1);
  if (atomic_load(&g_failing)) return 1;
  if (atomic_fetch_sub(&g_countdown, 1) == 1) {
    if (atomic_load(&g_persistent)) atomic_store(&g_failing, 1);
    return 1;
  }
  return 0;
}

static void note_hit(const char* where, const unsigned char* at, int needle) {
  if (atomic_fetch_add(&g_hits, 1) == 0) {
    snprintf(g_first_hit, sizeof g_first_hit, "needle %d in %s at %p", needle, where,
             (const void*)at);
  }
}

static void search(const char* where, const unsigned char* begin, size_t size) {
  const int count = atomic_load(&g_needle_count);
  if (count == 0 || size < NEEDLE) return;
  for (size_t i = 0; i + NEEDLE <= size; ++i) {
    for (int n = 0; n < count; ++n) {
      if (begin[i] == g_needles[n][0] && memcmp(begin + i, g_needles[n], NEEDLE) == 0) {
        note_hit(where, begin + i, n);
      }
    }
  }
}

static void inspect_freed(void* block) {
  if (block != NULL && atomic_load(&g_watching)) {
    search("a freed block", block, malloc_usable_size(block));
  }
}

void* malloc(size_t size) {
  if (should_fail()) { errno = ENOMEM; return NULL; }
  return __libc_malloc(size);
}

void* calloc(size_t n, size_t size) {
  if (should_fail()) { errno = ENOMEM; return NULL; }
  return __libc_calloc(n, size);
}

void* realloc(void* block, size_t size) {
  if (should_fail()) { errno = ENOMEM; return NULL; }
  if (block != NULL && atomic_load(&g_watching)) {
    /* A moving realloc frees the old block inside the allocator: copy by
     * hand so the old block passes through the search. */
    void* moved = __libc_malloc(size);
    if (moved == NULL) return NULL;
    size_t old = malloc_usable_size(block);
    memcpy(moved, block, old < size ? old : size);
    inspect_freed(block);
    __libc_free(block);
    return moved;
  }
  return __libc_realloc(block, size);
}

void free(void* block) {
  inspect_freed(block);
  __libc_free(block);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (should_fail()) return ENOMEM;
  void* block = __libc_memalign(alignment, size);
  if (block == NULL) return ENOMEM;
  *out = block;
  return 0;
}

void* aligned_alloc(size_t alignment, size_t size) {
  if (should_fail()) { errno = ENOMEM; return NULL; }
  return __libc_memalign(alignment, size);
}

void* memalign(size_t alignment, size_t size) {
  if (should_fail()) { errno = ENOMEM; return NULL; }
  return __libc_memalign(alignment, size);
}

/* --- residue ----------------------------------------------------------- */

void probe_set_needles(const unsigned char* data, int count) {
  if (count > MAX_NEEDLES) count = MAX_NEEDLES;
  memcpy(g_needles, data, (size_t)count * NEEDLE);
  atomic_store(&g_needle_count, count);
  atomic_store(&g_hits, 0);
  g_first_hit[0] = 0;
}

void probe_watch(int on) { atomic_store(&g_watching, on); }
long probe_hits(void) { return atomic_load(&g_hits); }
const char* probe_first_hit(void) { return g_first_hit; }

typedef int (*pthread_create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

/* Records every thread the process starts, to scan its stack later. */
int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*entry)(void*),
                   void* argument) {
  static pthread_create_fn real;
  if (real == NULL) real = (pthread_create_fn)dlsym(RTLD_NEXT, "pthread_create");
  int error = real(thread, attributes, entry, argument);
  if (error == 0) {
    int slot = atomic_fetch_add(&g_thread_count, 1);
    if (slot < MAX_THREADS) g_threads[slot] = *thread;
  }
  return error;
}

/* The main thread's stack mapping, from /proc/self/maps. */
static int main_stack(uintptr_t* low, uintptr_t* high) {
  FILE* maps = fopen("/proc/self/maps", "r");
  if (maps == NULL) return 0;
  char line[512];
  int found = 0;
  while (fgets(line, sizeof line, maps)) {
    if (strstr(line, "[stack]") && sscanf(line, "%lx-%lx", low, high) == 2) {
      found = 1;
      break;
    }
  }
  fclose(maps);
  return found;
}

/* Lowest address in use by the live frames of the caller, less a margin for
 * this function's own frame. */
static uintptr_t dead_stack_top(void) {
  return (uintptr_t)__builtin_frame_address(0) - 4096;
}

__attribute__((noinline)) void probe_clear_dead_stack(void) {
  uintptr_t low, high;
  if (!main_stack(&low, &high)) return;
  uintptr_t top = dead_stack_top();
  if (top > low) explicit_bzero((void*)low, top - low);
}

__attribute__((noinline)) long probe_scan_stacks(void) {
  uintptr_t low, high;
  if (main_stack(&low, &high)) {
    uintptr_t top = dead_stack_top();
    if (top > low) search("the main thread's dead stack", (const unsigned char*)low, top - low);
  }
  int threads = atomic_load(&g_thread_count);
  for (int i = 0; i < threads && i < MAX_THREADS; ++i) {
    pthread_attr_t attributes;
    void* stack;
    size_t size;
    if (pthread_kill(g_threads[i], 0) != 0) continue;
    if (pthread_getattr_np(g_threads[i], &attributes) != 0) continue;
    if (pthread_attr_getstack(&attributes, &stack, &size) == 0) {
      search("a worker's stack", stack, size);
    }
    pthread_attr_destroy(&attributes);
  }
  return atomic_load(&g_hits);
}

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
 * Residue: probe_read_needles() takes 8-byte patterns; while probe_watch(1)
 * is on, every block handed back to free() or realloc() is searched for
 * them first. probe_scan_stacks() searches the calling thread's whole stack
 * mapping, from its low end to its top, live frames included, and the whole
 * stacks of the other threads (idle pool workers): a secret a call left
 * anywhere, however far below or above the frame the scan runs in, is
 * found. The needles must therefore come from outside the process (a pipe,
 * not the environment, whose strings lie at the top of the main stack), so
 * that only the calls under test can have put their bytes there; and the
 * call runs through probe_call_below(), deep enough that the scan's own
 * frames do not run over what it left. The scan first has a signal
 * delivered to every thread, whose frame holds its registers: a secret
 * left in them is found on the stack too (see spill_registers()).
 * probe_clear_dead_stack() zeroes the calling thread's stack below its own
 * frame, so that an earlier call's leftovers do not count twice.
 *
 * glibc's __libc_* entry points give the real allocator without dlsym,
 * which would itself allocate. */
#define _GNU_SOURCE
#include <alloca.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

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

/* Only noted here, formatted by probe_first_hit(): a scan must not write
 * over the stack it has yet to read. */
static const char* g_first_where;
static size_t g_first_depth;
static int g_first_needle;

static void note_hit(const char* where, const unsigned char* at, const unsigned char* top,
                     int needle) {
  if (atomic_fetch_add(&g_hits, 1) == 0) {
    g_first_where = where;
    g_first_depth = (size_t)(top - at);
    g_first_needle = needle;
  }
}

/* Needles by their first byte, so a search looks at each byte of memory
 * once whatever the needle count: the worker stacks are megabytes. */
static int g_first_byte_start[257];
static int g_by_first_byte[MAX_NEEDLES];

static void index_needles(int count) {
  int counts[256] = {0};
  for (int n = 0; n < count; ++n) ++counts[g_needles[n][0]];
  g_first_byte_start[0] = 0;
  for (int b = 0; b < 256; ++b) g_first_byte_start[b + 1] = g_first_byte_start[b] + counts[b];
  int next[256];
  memcpy(next, g_first_byte_start, sizeof next);
  for (int n = 0; n < count; ++n) g_by_first_byte[next[g_needles[n][0]]++] = n;
}

static void search(const char* where, const unsigned char* begin, size_t size) {
  if (atomic_load(&g_needle_count) == 0 || size < NEEDLE) return;
  for (size_t i = 0; i + NEEDLE <= size; ++i) {
    const int first = g_first_byte_start[begin[i]], end = g_first_byte_start[begin[i] + 1];
    for (int k = first; k < end; ++k) {
      const int n = g_by_first_byte[k];
      if (memcmp(begin + i, g_needles[n], NEEDLE) == 0) note_hit(where, begin + i, begin + size, n);
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

static void use_needles(int count) {
  index_needles(count);
  atomic_store(&g_needle_count, count);
  atomic_store(&g_hits, 0);
}

/* Reads the needles, as hexadecimal text, from `fd` to its end and decodes
 * them straight into the probe's table: the test's own code never holds
 * them, so none of its frames (a parser's stack buffer, say) can leave a
 * copy for the scan to find. Returns their count, or -1 if the text is not
 * whole needles in hexadecimal or they are more than the table holds. */
static char g_needle_text[2 * sizeof g_needles + 2];

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int probe_read_needles(int fd) {
  atomic_store(&g_needle_count, 0);
  size_t size = 0;
  for (ssize_t got; size < sizeof g_needle_text &&
                    (got = read(fd, g_needle_text + size, sizeof g_needle_text - size)) > 0;) {
    size += (size_t)got;
  }
  while (size > 0 && (g_needle_text[size - 1] == '\n' || g_needle_text[size - 1] == '\r')) --size;
  if (size > 2 * sizeof g_needles || size % (2 * NEEDLE) != 0) return -1;
  unsigned char* table = &g_needles[0][0];
  for (size_t i = 0; i < size; i += 2) {
    const int high = hex_digit(g_needle_text[i]), low = hex_digit(g_needle_text[i + 1]);
    if (high < 0 || low < 0) return -1;
    table[i / 2] = (unsigned char)(high * 16 + low);
  }
  explicit_bzero(g_needle_text, sizeof g_needle_text);
  use_needles((int)(size / (2 * NEEDLE)));
  return (int)(size / (2 * NEEDLE));
}

void probe_watch(int on) { atomic_store(&g_watching, on); }
long probe_hits(void) { return atomic_load(&g_hits); }
const char* probe_first_hit(void) {
  if (atomic_load(&g_hits) == 0) return "";
  snprintf(g_first_hit, sizeof g_first_hit, "needle %d in %s, %zu bytes below its top",
           g_first_needle, g_first_where, g_first_depth);
  return g_first_hit;
}

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

/* The mapping of /proc/self/maps that holds `address`: for the calling
 * thread, given a local's address, its whole stack (the main thread's
 * [stack], or the block a thread's stack was carved from). Read with plain
 * system calls into a static buffer and parsed by hand: stdio's frames
 * would write over the dead stack that a scan is about to read. */
static char g_maps[1 << 20];

static uintptr_t parse_hex(const char** at) {
  uintptr_t value = 0;
  for (;; ++*at) {
    const char c = **at;
    if (c >= '0' && c <= '9') value = value * 16 + (uintptr_t)(c - '0');
    else if (c >= 'a' && c <= 'f') value = value * 16 + (uintptr_t)(c - 'a' + 10);
    else return value;
  }
}

static int mapping_of(uintptr_t address, uintptr_t* low, uintptr_t* high) {
  const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  size_t size = 0;
  for (ssize_t got; size < sizeof g_maps - 1 &&
                    (got = read(fd, g_maps + size, sizeof g_maps - 1 - size)) > 0;) {
    size += (size_t)got;
  }
  close(fd);
  g_maps[size] = 0;
  for (const char* line = g_maps; *line != 0;) {
    const char* at = line;
    *low = parse_hex(&at);
    if (*at == '-') ++at;
    *high = parse_hex(&at);
    if (*low <= address && address < *high) return 1;
    while (*line != 0 && *line != '\n') ++line;
    if (*line == '\n') ++line;
  }
  return 0;
}

/* Below this, nothing of the caller's live frames: a margin under this
 * function's own frame for the calls it still makes (explicit_bzero). */
static uintptr_t dead_stack_top(void) {
  return (uintptr_t)__builtin_frame_address(0) - 1024;
}

static atomic_int g_spills;

static void note_spill(int signal) {
  (void)signal;
  atomic_fetch_add(&g_spills, 1);
}

/* What a signal that lands right after a call does: the kernel writes the
 * register file (the vector registers included, which no function has to
 * preserve or clear) into a frame on the thread's stack, and it stays there
 * after the handler returns. So does a lazily bound first call, whose
 * resolver saves the vector registers on the stack. Whatever of a secret a
 * call leaves in its registers therefore ends up on the stack; the scan
 * makes it happen at once, through the signal. The handler is installed
 * beforehand (probe_clear_dead_stack) so that nothing between the call and
 * the signal but the raise itself runs over the registers. */
static void spill_registers(void) { raise(SIGURG); }

/* The same on every other thread still alive (idle pool workers, asleep in
 * a futex wait, which the signal interrupts as any signal may): each writes
 * its registers into a frame on its own stack. Waits, a second at most,
 * until every one has. */
static void spill_other_threads_registers(void) {
  int sent = 0;
  const int spilled_before = atomic_load(&g_spills);
  const int threads = atomic_load(&g_thread_count);
  for (int i = 0; i < threads && i < MAX_THREADS; ++i) {
    if (pthread_equal(g_threads[i], pthread_self())) continue;
    if (pthread_kill(g_threads[i], SIGURG) == 0) ++sent;
  }
  const struct timespec pause = {0, 1000000};
  for (int waited = 0; atomic_load(&g_spills) - spilled_before < sent && waited < 1000; ++waited) {
    nanosleep(&pause, NULL);
  }
}

static void install_spill_handler(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = note_spill;
  sigemptyset(&action.sa_mask);
  sigaction(SIGURG, &action, NULL);
}

__attribute__((noinline)) void probe_clear_dead_stack(void) {
  install_spill_handler();
  uintptr_t low, high;
  if (!mapping_of((uintptr_t)__builtin_frame_address(0), &low, &high)) return;
  uintptr_t top = dead_stack_top();
  if (top > low) explicit_bzero((void*)low, top - low);
}

/* Runs `call` (a ctypes callback that makes the call under test) `depth`
 * bytes further down the stack than its caller, so that the frames of the
 * call under test lie below all those of the scan that follows it (a call
 * through ctypes too, whose own frames would otherwise run over them). */
__attribute__((noinline)) void probe_call_below(size_t depth, void (*call)(void)) {
  unsigned char* padding = alloca(depth);
  explicit_bzero(padding, depth);
  asm volatile("" : : "r"(padding) : "memory");
  call();
  asm volatile("" : : "r"(padding) : "memory");
}

/* Spills the registers of every thread, searches the stacks and returns
 * the hits so far.
 * Called right after the call under test, which must have run unwatched
 * (the search of a freed block runs over its dead stack and registers), so
 * that as little as possible runs over what it left first. */
__attribute__((noinline)) long probe_scan_stacks(void) {
  spill_registers();
  spill_other_threads_registers();
  uintptr_t low, high;
  if (mapping_of((uintptr_t)__builtin_frame_address(0), &low, &high)) {
    search("the calling thread's stack", (const unsigned char*)low, high - low);
  } else {
    note_hit("/proc/self/maps (no mapping holds the stack)", NULL, NULL, -1);
  }
  int threads = atomic_load(&g_thread_count);
  for (int i = 0; i < threads && i < MAX_THREADS; ++i) {
    pthread_attr_t attributes;
    void* stack;
    size_t size;
    if (pthread_equal(g_threads[i], pthread_self())) continue;
    if (pthread_kill(g_threads[i], 0) != 0) continue;
    if (pthread_getattr_np(g_threads[i], &attributes) != 0) continue;
    if (pthread_attr_getstack(&attributes, &stack, &size) == 0) {
      search("a worker's stack", stack, size);
    }
    pthread_attr_destroy(&attributes);
  }
  return atomic_load(&g_hits);
}

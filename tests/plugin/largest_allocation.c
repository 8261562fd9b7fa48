/* The largest single request any thread of the process made of the C heap
 * (operator new and FFmpeg's av_malloc end here too). These take the place
 * of the C library's allocation functions and hand every call on to it
 * unchanged. Native builds only: the sanitizers bring their own allocator. */
#include <errno.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>

extern void* __libc_malloc(size_t size);
extern void __libc_free(void* pointer);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* pointer, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

static _Atomic size_t g_largest;

static size_t Note(size_t size) {
  size_t seen = atomic_load_explicit(&g_largest, memory_order_relaxed);
  while (size > seen &&
         !atomic_compare_exchange_weak_explicit(&g_largest, &seen, size, memory_order_relaxed, memory_order_relaxed)) {
  }
  return size;
}

size_t kx_test_take_largest_allocation(void) { return atomic_exchange_explicit(&g_largest, 0, memory_order_relaxed); }

void* malloc(size_t size) { return __libc_malloc(Note(size)); }
void free(void* pointer) { __libc_free(pointer); }
void* realloc(void* pointer, size_t size) { return __libc_realloc(pointer, Note(size)); }
void* memalign(size_t alignment, size_t size) { return __libc_memalign(alignment, Note(size)); }
void* aligned_alloc(size_t alignment, size_t size) { return __libc_memalign(alignment, Note(size)); }
void* calloc(size_t count, size_t size) {
  size_t total;
  Note(__builtin_mul_overflow(count, size, &total) ? SIZE_MAX : total);
  return __libc_calloc(count, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment == 0 || alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* pointer = __libc_memalign(alignment, Note(size));
  if (pointer == NULL) return ENOMEM;
  *out = pointer;
  return 0;
}

/* Linked into the test host program: lets it make the next thread start of
 * the process fail, as when the system has no thread left to give, or hold
 * the next thread started until the program lets it go on. Every other
 * start goes to the real pthread_create. The program's definition is
 * found before the C library's by every library it loads. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static atomic_int g_failNext, g_holdNext, g_released;

void kx_test_fail_next_thread_start(void) { atomic_store(&g_failNext, 1); }
void kx_test_hold_next_thread(void) { atomic_store(&g_holdNext, 1); }
void kx_test_release_held_thread(void) { atomic_store(&g_released, 1); }

struct Held {
  void* (*start)(void*);
  void* arg;
};

static void* StartWhenReleased(void* parameter) {
  struct Held held = *(struct Held*)parameter;
  free(parameter);
  while (!atomic_load(&g_released)) usleep(1000);
  return held.start(held.arg);
}

typedef int (*PthreadCreateFn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  static PthreadCreateFn real;
  if (atomic_exchange(&g_failNext, 0)) return EAGAIN;
  if (real == NULL) {
    void* symbol = dlsym(RTLD_NEXT, "pthread_create");
    memcpy(&real, &symbol, sizeof real);
  }
  if (atomic_exchange(&g_holdNext, 0)) {
    struct Held* held = malloc(sizeof *held);
    if (held == NULL) return EAGAIN;
    held->start = start;
    held->arg = arg;
    const int result = real(thread, attr, StartWhenReleased, held);
    if (result != 0) free(held);
    return result;
  }
  return real(thread, attr, start, arg);
}

/* Linked into the test host program: lets it make the next thread start of
 * the process fail, as when the system has no thread left to give. Every
 * other start goes to the real pthread_create. The program's definition is
 * found before the C library's by every library it loads. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <string.h>

static atomic_int g_failNext;

void kx_test_fail_next_thread_start(void) { atomic_store(&g_failNext, 1); }

typedef int (*PthreadCreateFn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  static PthreadCreateFn real;
  if (atomic_exchange(&g_failNext, 0)) return EAGAIN;
  if (real == NULL) {
    void* symbol = dlsym(RTLD_NEXT, "pthread_create");
    memcpy(&real, &symbol, sizeof real);
  }
  return real(thread, attr, start, arg);
}

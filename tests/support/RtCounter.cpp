#include "support/RtCounter.h"

#include <atomic>
#include <cstddef>
#include <new>

#ifndef VL_SANITIZER
#include <dlfcn.h>
#include <pthread.h>
#endif

namespace rt {
namespace {
// initial-exec: reading the flag must never allocate (a dynamic TLS block would, inside malloc).
__attribute__((tls_model("initial-exec"))) thread_local bool armed = false;
std::atomic<uint64_t> allocations{0}, frees{0}, locks{0};
}  // namespace

void armThisThread(bool a) { armed = a; }
bool thisThreadArmed() { return armed; }
Counts counts() { return {allocations.load(), frees.load(), locks.load()}; }
void resetCounts() {
  allocations = 0;
  frees = 0;
  locks = 0;
}

#ifdef VL_SANITIZER
bool available() { return false; }
#else
bool available() { return true; }
#endif

}  // namespace rt

#ifndef VL_SANITIZER
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t n) {
  if (rt::armed) rt::allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
  if (rt::armed) rt::allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
  if (rt::armed) rt::allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
void free(void* p) {
  if (p && rt::armed) rt::frees.fetch_add(1, std::memory_order_relaxed);
  __libc_free(p);
}
void* aligned_alloc(size_t a, size_t n) {
  if (rt::armed) rt::allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
  if (rt::armed) rt::allocations.fetch_add(1, std::memory_order_relaxed);
  void* p = __libc_memalign(a, n);
  if (!p) return 12;  // ENOMEM
  *out = p;
  return 0;
}

using LockFn = int (*)(pthread_mutex_t*);
static LockFn realLock() {
  static LockFn fn = reinterpret_cast<LockFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
  return fn;
}
int pthread_mutex_lock(pthread_mutex_t* m) {
  if (rt::armed) rt::locks.fetch_add(1, std::memory_order_relaxed);
  return realLock()(m);
}
}

// Resolve the real lock function before any test arms a thread (dlsym may allocate).
static const bool resolvedEarly = (realLock() != nullptr);

void* operator new(size_t n) {
  void* p = malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return malloc(n ? n : 1); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return malloc(n ? n : 1); }
void* operator new(size_t n, std::align_val_t a) {
  void* p = aligned_alloc(static_cast<size_t>(a), (n + static_cast<size_t>(a) - 1) & ~(static_cast<size_t>(a) - 1));
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { free(p); }
#endif

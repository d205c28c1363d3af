#pragma once
// Real-time safety by counting: while a thread is armed, every allocation, free and blocking
// mutex lock it makes is counted. Link `vl_test_rtcount` into a test executable to interpose
// malloc, calloc, realloc, free, the operator new/delete family and pthread_mutex_lock.
// Under a sanitizer the allocator belongs to the sanitizer, so nothing is interposed and
// `available()` is false: tests skip themselves then.
#include <cstdint>

namespace rt {

bool available();
// Arms or disarms counting on the calling thread. An audio thread owned by a library (a JACK
// client's process thread) is armed from inside its callback once, and stays armed.
void armThisThread(bool armed);
bool thisThreadArmed();

struct Counts {
  uint64_t allocations = 0;
  uint64_t frees = 0;
  uint64_t locks = 0;
  uint64_t total() const { return allocations + frees + locks; }
};
Counts counts();
void resetCounts();

// Arms the calling thread for its lifetime.
class Scope {
 public:
  Scope() { armThisThread(true); }
  ~Scope() { armThisThread(false); }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
};

}  // namespace rt

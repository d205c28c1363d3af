#pragma once
// Where a backing puts the messages of one open input. The sink belongs to the multimedia layer;
// the backing only pushes into it, from one thread at a time (the JACK process thread, the ALSA
// reader thread, or a test thread under the simulated backing's lock).
#include <semaphore.h>

#include <atomic>
#include <cstdint>

#include "platform/clock/Clock.h"
#include "platform/mme/SpscRing.h"

namespace plat::mme {

// Wakes the delivery thread. `wake` is safe on the audio thread: sem_post neither allocates nor
// takes a lock.
class Waker {
 public:
  Waker() { sem_init(&sem_, 0, 0); }
  ~Waker() { sem_destroy(&sem_); }
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  void wake() noexcept { sem_post(&sem_); }
  void wait() noexcept {
    while (sem_wait(&sem_) != 0) {
    }
  }

 private:
  sem_t sem_;
};

struct InputEvent {
  uint32_t packed = 0;
  uint32_t tick = 0;  // clock tick count (ms) when the backing received the message
};

class InputSink {
 public:
  InputSink(clock::Clock& clock, Waker& waker) : clock_(clock), waker_(waker) {}

  // Audio thread: queues one packed short message. False when the input is not started (the
  // message is dropped, as the hardware's would be) or the queue is full (counted).
  bool push(uint32_t packed) noexcept {
    if (!accepting_.load()) return false;
    if (!ring_.push(InputEvent{packed, clock_.tickCount()})) {
      overflows_.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    waker_.wake();
    return true;
  }

  uint64_t overflows() const noexcept { return overflows_.load(std::memory_order_relaxed); }

 private:
  friend class Mme;
  clock::Clock& clock_;
  Waker& waker_;
  std::atomic<bool> accepting_{false};
  std::atomic<uint64_t> overflows_{0};
  SpscRing<InputEvent, 1024> ring_;
};

}  // namespace plat::mme

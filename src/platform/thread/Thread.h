#pragma once
// The thread layer: threads with a priority, and auto-reset events with timed waits.
#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace plat::thread {

enum class Priority {
  Normal,
  // For audio threads: SCHED_FIFO where the process may use it, otherwise the best the system
  // allows (a raised nice value, or nothing), silently.
  TimeCritical,
};

// A joinable thread. Destroying a still-joinable Thread joins it, so an owner can never leave a
// thread running on freed state.
class Thread {
 public:
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;

  // Starts `body` on a new thread; false when the system refuses a thread.
  bool start(std::function<void()> body, Priority priority = Priority::Normal);
  void join();
  bool joinable() const { return started_; }
  // Whether the last start obtained SCHED_FIFO (TimeCritical only).
  bool realTime() const { return realTime_; }

 private:
  pthread_t handle_{};
  bool started_ = false;
  bool realTime_ = false;
};

// Raises the calling thread to `priority`; true when SCHED_FIFO was obtained.
bool setCurrentThreadPriority(Priority priority) noexcept;

// An auto-reset event: `set` releases exactly one wait (or the next one), then the event is
// reset. Not for the audio thread (it takes a mutex).
class Event {
 public:
  void set();
  void reset();
  // Waits until set or until `timeoutMs` passed; true when the event was set. A timeout of
  // kInfinite waits forever.
  bool wait(uint32_t timeoutMs);
  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signaled_ = false;
};

}  // namespace plat::thread

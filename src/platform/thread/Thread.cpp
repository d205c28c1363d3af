#include "platform/thread/Thread.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace plat::thread {

namespace {

void* trampoline(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

bool applyPriority(pthread_t handle, Priority priority) noexcept {
  if (priority != Priority::TimeCritical) return false;
  sched_param param{};
  // High, but below the ceiling where JACK and the kernel's own threads live.
  param.sched_priority = std::min(70, sched_get_priority_max(SCHED_FIFO));
  if (pthread_setschedparam(handle, SCHED_FIFO, &param) == 0) return true;
  return false;
}

}  // namespace

bool setCurrentThreadPriority(Priority priority) noexcept {
  if (applyPriority(pthread_self(), priority)) return true;
  if (priority == Priority::TimeCritical) {
    // Without the right to real-time scheduling, the best we may have is a higher nice value.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -10);
  }
  return false;
}

Thread::~Thread() { join(); }

Thread::Thread(Thread&& other) noexcept { *this = std::move(other); }

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    join();
    handle_ = other.handle_;
    started_ = std::exchange(other.started_, false);
    realTime_ = other.realTime_;
  }
  return *this;
}

bool Thread::start(std::function<void()> body, Priority priority) {
  if (started_) return false;
  auto* heapBody = new std::function<void()>(std::move(body));
  if (pthread_create(&handle_, nullptr, trampoline, heapBody) != 0) {
    delete heapBody;
    return false;
  }
  started_ = true;
  realTime_ = applyPriority(handle_, priority);
  return true;
}

void Thread::join() {
  if (!started_) return;
  pthread_join(handle_, nullptr);
  started_ = false;
}

void Event::set() {
  {
    std::lock_guard lock(mutex_);
    signaled_ = true;
  }
  cv_.notify_one();
}

void Event::reset() {
  std::lock_guard lock(mutex_);
  signaled_ = false;
}

bool Event::wait(uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  if (timeoutMs == kInfinite) {
    cv_.wait(lock, [this] { return signaled_; });
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signaled_; })) {
    return false;
  }
  signaled_ = false;
  return true;
}

}  // namespace plat::thread

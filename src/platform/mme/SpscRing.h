#pragma once
// A bounded lock-free ring for one producer thread and one consumer thread at a time. Safe on the
// audio thread: push and pop never allocate, lock or block. Several producers may share one ring
// only when something else orders them (a mutex, or the spin guard of the owner).
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace plat::mme {

template <typename T, size_t Capacity>
class SpscRing {
  static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");

 public:
  // Producer. False when the ring is full (the value is dropped).
  bool push(const T& value) noexcept {
    const uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) >= Capacity) return false;
    items_[tail & (Capacity - 1)] = value;
    tail_.store(tail + 1, std::memory_order_release);
    return true;
  }
  // Consumer. False when the ring is empty.
  bool pop(T& value) noexcept {
    const uint64_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return false;
    value = items_[head & (Capacity - 1)];
    head_.store(head + 1, std::memory_order_release);
    return true;
  }
  bool empty() const noexcept {
    return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
  }

 private:
  std::array<T, Capacity> items_{};
  alignas(64) std::atomic<uint64_t> head_{0};
  alignas(64) std::atomic<uint64_t> tail_{0};
};

}  // namespace plat::mme

#include "plugin/EffectTable.h"

#include <algorithm>
#include <thread>

namespace {
// Constant-initialised, so that a plug-in calling the host from a static initialiser or a
// thread of its own never meets a table that is not built yet.
constinit EffectTable gEffectTable;
}  // namespace

EffectTable& EffectTable::instance() {
  return gEffectTable;
}

void EffectTable::append(HostContext* context, AEffect* effect) {
  std::lock_guard lock(writeMutex_);
  pairs_.push_back({context, effect});
  publishLocked();
}

void EffectTable::remove(const HostContext* context) {
  std::lock_guard lock(writeMutex_);
  auto end =
      std::remove_if(pairs_.begin(), pairs_.end(), [&](const Pair& p) { return p.context == context; });
  if (end == pairs_.end()) return;
  pairs_.erase(end, pairs_.end());
  if (pairs_.empty()) List().swap(pairs_);
  publishLocked();
}

HostContext* EffectTable::find(const AEffect* effect) const noexcept {
  if (!effect) return nullptr;
  // The count is raised before the list is read: a writer that swapped the list in between waits
  // for it to drop before freeing the list this lookup may be reading.
  readers_.fetch_add(1, std::memory_order_seq_cst);
  const List* list = current_.load(std::memory_order_seq_cst);
  HostContext* context = nullptr;
  if (list) {
    for (const Pair& p : *list) {
      if (p.effect == effect) {
        context = p.context;
        break;
      }
    }
  }
  readers_.fetch_sub(1, std::memory_order_release);
  return context;
}

size_t EffectTable::size() const {
  std::lock_guard lock(writeMutex_);
  return pairs_.size();
}

void EffectTable::publishLocked() {
  const List* next = pairs_.empty() ? nullptr : new List(pairs_);
  const List* old = current_.exchange(next, std::memory_order_seq_cst);
  // Lookups are a handful of loads and compares; this wait is over almost before it starts.
  while (readers_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
  delete old;
}

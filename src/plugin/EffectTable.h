#pragma once
// The process-wide effect table: one (host context, effect) pair per loaded plug-in, in load
// order, so that the host callback finds the context of the plug-in that calls it.
//
// Threads: the table changes only on the user-interface thread (load, close, unload, destruction)
// and is read by the host callback on any thread, the audio thread included. Readers take no lock
// and allocate nothing: a change publishes a fresh immutable copy of the list through an atomic
// pointer and frees the old copy once no reader is inside a lookup.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "vst/AEffect.h"

struct HostContext;

class EffectTable {
 public:
  // The one table of the process.
  static EffectTable& instance();

  constexpr EffectTable() = default;
  EffectTable(const EffectTable&) = delete;
  EffectTable& operator=(const EffectTable&) = delete;

  // Appends a pair at the end. User-interface thread.
  void append(HostContext* context, AEffect* effect);
  // Removes every pair of `context`, keeping the order of the others; the storage is released when
  // the table becomes empty. User-interface thread.
  void remove(const HostContext* context);

  // Audio thread: any thread. The context of the first pair holding `effect`; null for a null or
  // unregistered effect. No lock, no allocation.
  HostContext* find(const AEffect* effect) const noexcept;

  size_t size() const;

 private:
  struct Pair {
    HostContext* context;
    AEffect* effect;
  };
  using List = std::vector<Pair>;

  void publishLocked();

  mutable std::mutex writeMutex_;
  List pairs_;                                 // the writer's copy, under writeMutex_
  std::atomic<const List*> current_{nullptr};  // what readers see; null when empty
  mutable std::atomic<uint32_t> readers_{0};   // lookups in progress
};

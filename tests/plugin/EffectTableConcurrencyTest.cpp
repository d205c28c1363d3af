// The host callback looks up its caller on plug-in threads while the user-interface thread loads
// and destroys other wrappers: every lookup must see the caller's own context, never a torn or
// freed list.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "plugin/EffectTable.h"
#include "plugin/HostCallback.h"
#include "plugin/HostContext.h"
#include "plugin/VLVSTHostLib.h"
#include "probe/Probe.h"
#include "vst/Opcodes.h"

namespace {

TEST(EffectTableConcurrency, LookupsStayRightWhileTheTableChanges) {
  constexpr int kReaders = 2;
  HostContext contexts[kReaders];
  AEffect effects[kReaders] = {};
  HostContext front;
  AEffect frontEffect{};
  EffectTable::instance().append(&front, &frontEffect);
  for (int i = 0; i < kReaders; ++i) EffectTable::instance().append(&contexts[i], &effects[i]);

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> wrong{0}, lookups{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&, i] {
      const intptr_t expected = reinterpret_cast<intptr_t>(&contexts[i].timeInfo);
      while (!stop.load(std::memory_order_relaxed)) {
        if (HostCallback::standalone(&effects[i], audioMasterGetTime, 0, 0, nullptr, 0.0f) != expected)
          ++wrong;
        ++lookups;
      }
    });
  }

  // The readers run before the table starts to change (the machine may be busy).
  while (lookups.load() < 1000) std::this_thread::yield();

  // Other plug-ins come and go, in front of and behind the readers' pairs.
  HostContext churn[4];
  AEffect churnEffects[4] = {};
  for (int round = 0; round < 3000; ++round) {
    for (int k = 0; k < 4; ++k) EffectTable::instance().append(&churn[k], &churnEffects[k]);
    for (int k = 0; k < 4; ++k) EffectTable::instance().remove(&churn[(k + round) % 4]);
    // Halfway, the pair in front of the readers' goes: theirs move up in the list.
    if (round == 1500) EffectTable::instance().remove(&front);
  }
  // A real wrapper, too: load, register, destroy.
  ProbeLibrary probe(VL_PROBE_PATH);
  ASSERT_TRUE(probe.ok());
  for (int round = 0; round < 20; ++round) {
    VLVSTHostLib lib;
    ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
  }
  stop = true;
  for (auto& t : readers) t.join();
  for (auto& c : contexts) EffectTable::instance().remove(&c);

  EXPECT_GT(lookups.load(), 0u);
  EXPECT_EQ(wrong.load(), 0u) << "of " << lookups.load() << " lookups";
}

}  // namespace

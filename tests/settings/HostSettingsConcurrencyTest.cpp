// Saves requested from the user-interface thread, the MIDI input thread and a plug-in's tempo
// requests at the same time: one save at a time, none lost, the last values on disk.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "settings/HostSettings.h"
#include "settings/SettingsFixture.h"
#include "support/JackServer.h"

using namespace settingstest;

namespace {

TEST(HostSettingsConcurrency, SavesFromThreeThreadsAreSerialisedAndTheLastValuesLand) {
  testsupport::TempDir dir;
  FileRegistryOptions options;
  options.userHivePath = dir.file("user.reg");
  constexpr int kRounds = 40;
  {
    auto file = openFileRegistry(options);
    ASSERT_NE(file, nullptr);
    RecordingRegistry registry(*file);
    HostSettings settings(registry, "Busy", false);
    std::thread pluginTempo([&] {
      for (int i = 0; i < kRounds; ++i) {
        settings.tempo = 100.0 + i;
        settings.save();
      }
    });
    std::thread midiLearn([&] {
      for (int i = 0; i < kRounds; ++i) {
        settings.tempoTab = 0x9000 + i;
        settings.save();
      }
    });
    for (int i = 0; i < kRounds; ++i) EXPECT_TRUE(settings.save());
    pluginTempo.join();
    midiLearn.join();

    // Every save writes the same ten values; serialised, each run of ten comes from one thread.
    const auto writes = registry.writes();
    constexpr size_t kPerSave = 10;
    ASSERT_EQ(writes.size(), 3 * kRounds * kPerSave);
    for (size_t k = 0; k < writes.size(); k += kPerSave) {
      EXPECT_EQ(writes[k].name, "Tempo");
      for (size_t j = k; j < k + kPerSave; ++j) {
        EXPECT_EQ(writes[j].thread, writes[k].thread) << "save " << k / kPerSave << " interleaved";
        EXPECT_GE(writes[j].batchDepth, 1);
      }
    }
  }
  auto reopened = openFileRegistry(options);
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(getText(*reopened, "Software\\Vellumar\\Busy\\Host", "Tempo"),
            HostSettings::formatTempo(100.0 + kRounds - 1));
  EXPECT_EQ(getDword(*reopened, "Software\\Vellumar\\Busy\\Host", "tempoTab"), 0x9000 + kRounds - 1);
}

// The user interface changes texts, device pointers and stored MIDI records under the settings'
// lock while the MIDI thread learns tap triggers and saves: no save reads a half-changed field.
TEST(HostSettingsConcurrency, ChangesUnderTheLockAndSavesFromAnotherThreadDoNotRace) {
  auto registry = makeMemoryRegistry();
  HostSettings settings(*registry, "Edited", false);
  AudioDeviceInfo outputs[2] = {{DeviceTypeWASAPIShared, false}, {DeviceTypeWASAPIShared, false}};
  outputs[0].name = "Speakers";
  outputs[1].name = "Headphones";
  settings.midiDevices.push_back(std::make_unique<MidiDeviceInfo>());
  constexpr int kRounds = 300;
  std::thread midiLearn([&] {
    for (int i = 0; i < kRounds; ++i) {
      settings.tempoTab = 0x9000 + i;
      settings.save();
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    auto hold = settings.lock();
    // A text long enough to live on the heap, so a torn read would show.
    settings.samplePath = "/home/user/a rather long folder name/loop " + std::to_string(i) + ".wav";
    settings.audioOutputDevice = &outputs[i % 2];
    settings.midiDevices[0]->channel = i % 17;
    settings.save();
  }
  midiLearn.join();
  const std::string host = "Software\\Vellumar\\Edited\\Host";
  EXPECT_EQ(getText(*registry, host, "samplePath"),
            "/home/user/a rather long folder name/loop " + std::to_string(kRounds - 1) + ".wav");
  EXPECT_EQ(getText(*registry, host, "AudioDeviceOut Name"), outputs[(kRounds - 1) % 2].name);
  EXPECT_EQ(getDword(*registry, host + "\\Midi Device 0", "channel"), (kRounds - 1) % 17);
  EXPECT_EQ(getDword(*registry, host, "tempoTab"), 0x9000 + kRounds - 1);
}

}  // namespace

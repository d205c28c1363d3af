// The ALSA sequencer backing. Where the machine has a sequencer it must list other clients' ports
// only; where it has none (no /dev/snd, as on the build machines) it lists nothing, opens nothing
// and leaves the other backings' numbering alone.
#include "platform/mme/AlsaSeqMidi.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

#include "midi/VLMMMidi.h"
#include "platform/mme/Mme.h"
#include "platform/mme/SimulatedMidi.h"
#include "platform/mme/SystemMidi.h"

using namespace plat::mme;

namespace {

bool sequencerPresent() {
  return access("/dev/snd/seq", F_OK) == 0;
}

TEST(AlsaSeqMidi, ListsOnlyOtherClientsPortsOrNothingWithoutASequencer) {
  AlsaSeqMidi alsa("vl-alsa-test");
  if (sequencerPresent()) {
    ASSERT_TRUE(alsa.available());
    for (auto& p : alsa.listInputs()) EXPECT_EQ(p.name.find("vl-alsa-test"), std::string::npos) << p.name;
    EXPECT_TRUE(alsa.hasMapper());
    EXPECT_NE(alsa.openOutput(""), nullptr);
    return;
  }
  EXPECT_FALSE(alsa.available());
  EXPECT_LT(alsa.openError(), 0);
  EXPECT_TRUE(alsa.listInputs().empty());
  EXPECT_TRUE(alsa.listOutputs().empty());
  EXPECT_FALSE(alsa.hasMapper());
  EXPECT_EQ(alsa.openOutput(""), nullptr);
  EXPECT_EQ(alsa.openOutput("14:0"), nullptr);
}

TEST(AlsaSeqMidi, WithoutASequencerTheOtherBackingsStillNumberFromZero) {
  if (sequencerPresent()) GTEST_SKIP() << "this machine has a sequencer";
  AlsaSeqMidi alsa;
  SimulatedMidi sim;
  sim.addInput("Keys");
  sim.addOutput("Synth");
  Mme mme({&alsa, &sim});
  VLMMMidi midi(mme, plat::clock::systemClock());
  ASSERT_EQ(midi.devices.size(), 3u);
  EXPECT_EQ(midi.devices[0]->name, "Keys");
  EXPECT_EQ(midi.devices[0]->id, 0);
  EXPECT_EQ(midi.devices[1]->name, "Synth");
  EXPECT_EQ(midi.devices[2]->id, -1);  // the mapper comes from the simulated backing
  ASSERT_TRUE(midi.open(nullptr, midi.devices[2].get(), nullptr, nullptr));
  EXPECT_EQ(sim.openMappers(), 1);
  midi.close();
}

// The composition root's layer on a machine without sequencer and without JACK server: an empty
// device list, no error, and a clean shutdown.
TEST(SystemMidi, WithNeitherSequencerNorServerListsNothing) {
  if (sequencerPresent()) GTEST_SKIP() << "this machine has a sequencer";
  setenv("JACK_NO_START_SERVER", "1", 1);
  setenv("JACK_DEFAULT_SERVER", "vl-no-such-server", 1);
  SystemMidi system;
  VLMMMidi midi(system.mme(), plat::clock::systemClock());
  EXPECT_TRUE(midi.devices.empty());
  EXPECT_FALSE(midi.open(nullptr, nullptr, nullptr, nullptr));
}

}  // namespace

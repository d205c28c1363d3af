#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "AsioTestHive.h"
#include "SimAsioDriver.h"
#include "audio/AsioCallLayer.h"
#include "audio/AsioDrivers.h"
#include "platform/com/Com.h"

using namespace plat;
using asiotest::DriverEntry;
using asiotest::seedDriver;

namespace {

const char* kClsidA = "{8A0F0C11-3D2E-4A5B-9C6D-0E1F2A3B4C01}";
const char* kClsidB = "{8A0F0C11-3D2E-4A5B-9C6D-0E1F2A3B4C02}";
const char* kClsidC = "{8A0F0C11-3D2E-4A5B-9C6D-0E1F2A3B4C03}";

com::CLSID clsidOf(const char* text) {
  com::CLSID id{};
  EXPECT_EQ(com::CLSIDFromString(text, &id), com::S_OK);
  return id;
}

class AsioDriverListTest : public ::testing::Test {
 protected:
  std::unique_ptr<registry::Registry> reg = registry::makeMemoryRegistry();
  com::Com com{*reg};

  std::shared_ptr<asiosim::SimAsioSetup> registerSim(const char* clsid, const char* name) {
    auto setup = std::make_shared<asiosim::SimAsioSetup>();
    setup->name = name;
    com.registerClass(clsidOf(clsid), asiosim::simAsioFactory(setup));
    return setup;
  }
  std::string name(AsioDriverList& list, int id, int size = 128) {
    char buf[256];
    if (list.getDriverName(id, buf, size) != 0) return "<error>";
    return buf;
  }
};

TEST_F(AsioDriverListTest, NoAsioKeyGivesAnEmptyListWithoutCom) {
  int before = com::coInitializeCount();
  {
    AsioDrivers drivers(*reg, com);
    EXPECT_EQ(drivers.driverCount, 0);
    EXPECT_EQ(drivers.driverList, nullptr);
    EXPECT_EQ(com::coInitializeCount(), before);
    EXPECT_FALSE(drivers.loadDriver("anything"));
    char buf[32];
    EXPECT_EQ(drivers.getDriverName(0, buf, 32), -5003);
  }
  EXPECT_EQ(com::coInitializeCount(), before);
}

// Which entries make it into the list, and under which names.
TEST_F(AsioDriverListTest, EntriesAndNames) {
  seedDriver(*reg, {"Key Name Only", kClsidA, std::nullopt});
  seedDriver(*reg, {"no file", kClsidB, "Missing Server", "/nonexistent/driver.so"});
  seedDriver(*reg, {"no class", kClsidC, "No Class Key", "/proc/self/exe", false});
  registry::seedKey(*reg, registry::HKEY_LOCAL_MACHINE, "software\\asio\\no clsid value");
  // The class key is found whatever the case of its name or of the clsid value.
  DriverEntry lower{"lower", "{8a0f0c11-3d2e-4a5b-9c6d-0e1f2a3b4c04}", "Same Name"};
  lower.classKey = false;
  seedDriver(*reg, lower);
  registry::seedValue(*reg, registry::HKEY_CLASSES_ROOT,
                      "clsid\\{8A0F0C11-3D2E-4A5B-9C6D-0E1F2A3B4C04}\\InprocServer32", "", registry::REG_SZ,
                      asiotest::sz("/proc/self/exe"));
  seedDriver(*reg, {"second", kClsidA, "Same Name"});
  // A description that fills the whole 256-byte read with its zero; the node keeps 127 characters.
  const std::string longest(255, 'd');
  seedDriver(*reg, {"longest description", kClsidA, longest});
  int before = com::coInitializeCount();
  AsioDrivers drivers(*reg, com);
  EXPECT_EQ(com::coInitializeCount(), before + 1);
  ASSERT_EQ(drivers.driverCount, 4);
  EXPECT_EQ(name(drivers, 0), "Key Name Only");
  EXPECT_EQ(name(drivers, 1), "Same Name");
  EXPECT_EQ(name(drivers, 2), "Same Name");
  EXPECT_EQ(name(drivers, 3), longest.substr(0, 127));
  EXPECT_EQ(drivers.driverList->next->clsid, clsidOf("{8A0F0C11-3D2E-4A5B-9C6D-0E1F2A3B4C04}"));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(drivers.node(i)->driverId, i);
}

TEST_F(AsioDriverListTest, EqualNamesLoadTheFirst) {
  seedDriver(*reg, {"one", kClsidA, "Twin"});
  seedDriver(*reg, {"two", kClsidB, "Twin"});
  auto a = registerSim(kClsidA, "A");
  auto b = registerSim(kClsidB, "B");
  AsioDrivers drivers(*reg, com);
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(drivers.loadDriver("Twin"));
    EXPECT_EQ(drivers.currentIndex, 0);
    EXPECT_EQ(currentDriver, static_cast<asio::IASIO*>(a->driver.load()));
  }
  EXPECT_EQ(b->created, 0);
  EXPECT_EQ(a->created, 2);                  // the second load unloaded the first object
  EXPECT_FALSE(drivers.loadDriver("twin"));  // exact, case-sensitive
  EXPECT_EQ(drivers.currentIndex, 0);        // no match keeps the current driver
  drivers.removeCurrentDriver();
  EXPECT_EQ(currentDriver, nullptr);
  EXPECT_EQ(a->driver.load(), nullptr);
}

TEST_F(AsioDriverListTest, LongNamesAreShortenedAndFoundFullOrShortened) {
  const std::string forty = "0123456789012345678901234567890123456789";
  seedDriver(*reg, {"long", kClsidA, forty});
  registerSim(kClsidA, "A");
  AsioDrivers drivers(*reg, com);
  EXPECT_EQ(name(drivers, 0, 32), "0123456789012345678901234567...");
  EXPECT_EQ(name(drivers, 0, 41), forty);
  EXPECT_EQ(name(drivers, 0, 40), forty.substr(0, 36) + "...");
  char buf[8];
  EXPECT_EQ(drivers.getDriverName(0, nullptr, 32), -5001);
  EXPECT_EQ(drivers.getDriverName(0, buf, 3), -5001);
  EXPECT_EQ(drivers.getDriverName(5, buf, 8), -5003);
  EXPECT_TRUE(drivers.loadDriver(forty.c_str()));
  EXPECT_TRUE(drivers.loadDriver("0123456789012345678901234567..."));
  EXPECT_FALSE(drivers.loadDriver(forty.substr(0, 39).c_str()));
}

TEST_F(AsioDriverListTest, OpenAndCloseResults) {
  seedDriver(*reg, {"a", kClsidA, "A"});
  seedDriver(*reg, {"b", kClsidB, "Unregistered"});  // its file exists but is no driver module
  auto a = registerSim(kClsidA, "A");
  AsioDrivers drivers(*reg, com);
  asio::IASIO* object = nullptr;
  EXPECT_EQ(drivers.openDriver(0, nullptr), -5001);
  EXPECT_EQ(drivers.openDriver(7, &object), -5003);
  ASSERT_EQ(drivers.openDriver(0, &object), 0);
  EXPECT_EQ(object, static_cast<asio::IASIO*>(a->driver.load()));
  asio::IASIO* again = nullptr;
  EXPECT_EQ(drivers.openDriver(0, &again), -5002);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(drivers.closeDriver(0), 0);
  EXPECT_EQ(a->driver.load(), nullptr);
  EXPECT_EQ(drivers.closeDriver(0), 0);
  EXPECT_EQ(drivers.closeDriver(9), 0);
  EXPECT_LT(drivers.openDriver(1, &object), 0);  // the creation's own error code
  EXPECT_EQ(drivers.node(1)->driverObject, nullptr);
}

TEST_F(AsioDriverListTest, FailedLoadRestoresThePreviousDriver) {
  seedDriver(*reg, {"a", kClsidA, "A"});
  seedDriver(*reg, {"b", kClsidB, "B"});
  auto a = registerSim(kClsidA, "A");
  com.registerClass(clsidOf(kClsidB), [](com::REFIID, void** object) {
    *object = nullptr;
    return com::E_OUTOFMEMORY;
  });
  AsioDrivers drivers(*reg, com);
  ASSERT_TRUE(drivers.loadDriver("A"));
  EXPECT_FALSE(drivers.loadDriver("B"));
  EXPECT_EQ(a->created, 2);  // released first, then loaded again by name
  EXPECT_EQ(drivers.currentIndex, 0);
  EXPECT_EQ(currentDriver, static_cast<asio::IASIO*>(a->driver.load()));
  // With nothing loaded before, a failed load leaves nothing loaded.
  drivers.removeCurrentDriver();
  EXPECT_FALSE(drivers.loadDriver("B"));
  EXPECT_EQ(drivers.currentIndex, -1);
  EXPECT_EQ(currentDriver, nullptr);
}

// Two long names that shorten alike: a failed load of the second brings back the first.
TEST_F(AsioDriverListTest, FailedLoadRestoresADriverWhoseShortenedNameIsShared) {
  const std::string prefix = "A driver whose name is long enough ";
  seedDriver(*reg, {"a", kClsidA, prefix + "(one)"});
  seedDriver(*reg, {"b", kClsidB, prefix + "(two)"});
  auto a = registerSim(kClsidA, "A");
  com.registerClass(clsidOf(kClsidB), [](com::REFIID, void** object) {
    *object = nullptr;
    return com::E_OUTOFMEMORY;
  });
  AsioDrivers drivers(*reg, com);
  ASSERT_TRUE(drivers.loadDriver((prefix + "(one)").c_str()));
  EXPECT_FALSE(drivers.loadDriver((prefix + "(two)").c_str()));
  EXPECT_EQ(a->created, 2);
  EXPECT_EQ(drivers.currentIndex, 0);
  EXPECT_EQ(currentDriver, static_cast<asio::IASIO*>(a->driver.load()));
}

TEST_F(AsioDriverListTest, DestructionReleasesOpenDriversAndComPairs) {
  seedDriver(*reg, {"a", kClsidA, "A"});
  auto a = registerSim(kClsidA, "A");
  int before = com::coInitializeCount();
  {
    AsioDrivers drivers(*reg, com);
    ASSERT_TRUE(drivers.loadDriver("A"));
  }
  EXPECT_EQ(a->driver.load(), nullptr);
  EXPECT_EQ(currentDriver, nullptr);
  EXPECT_EQ(com::coInitializeCount(), before);
}

// Every host call with no driver loaded.
TEST(AsioCallLayer, AnswersWithoutADriver) {
  using namespace plat::asio;
  ASSERT_EQ(currentDriver, nullptr);
  ASIODriverInfo info{};
  info.driverVersion = 9;
  EXPECT_EQ(ASIOInit(&info), ASE_NotPresent);
  EXPECT_EQ(info.driverVersion, 0);
  EXPECT_STREQ(info.name, "No ASIO Driver");
  int32_t a = 5, b = 5, c = 5, d = 5;
  EXPECT_EQ(ASIOGetChannels(&a, &b), ASE_NotPresent);
  EXPECT_EQ(a + b, 0);
  a = b = 5;
  EXPECT_EQ(ASIOGetLatencies(&a, &b), ASE_NotPresent);
  EXPECT_EQ(a + b, 0);
  a = b = 5;
  EXPECT_EQ(ASIOGetBufferSize(&a, &b, &c, &d), ASE_NotPresent);
  EXPECT_EQ(a | b | c | d, 0);
  ASIOChannelInfo ci{};
  ci.type = ASIOSTFloat32LSB;
  EXPECT_EQ(ASIOGetChannelInfo(&ci), ASE_NotPresent);
  EXPECT_EQ(ci.channelGroup, -1);
  EXPECT_EQ(ci.type, ASIOSTInt16MSB);
  EXPECT_STREQ(ci.name, "None");
  int x;
  ASIOBufferInfo bi[2] = {{1, 0, {&x, &x}}, {0, 0, {&x, &x}}};
  EXPECT_EQ(ASIOCreateBuffers(bi, 2, 256, nullptr), ASE_NotPresent);
  EXPECT_EQ(bi[0].buffers[0], nullptr);
  EXPECT_EQ(bi[1].buffers[1], nullptr);
  double rate = 1;
  EXPECT_EQ(ASIOGetSampleRate(&rate), ASE_NotPresent);
  ASIOSamples pos;
  ASIOTimeStamp ts;
  EXPECT_EQ(ASIOGetSamplePosition(&pos, &ts), ASE_NotPresent);
  for (auto call : {ASIOStart, ASIOStop, ASIODisposeBuffers, ASIOControlPanel})
    EXPECT_EQ(call(), ASE_NotPresent);
  EXPECT_EQ(ASIOOutputReady(), ASE_NotPresent);
}

TEST_F(AsioDriverListTest, InitFailureFetchesTheErrorAndDropsTheDriver) {
  using namespace plat::asio;
  seedDriver(*reg, {"a", kClsidA, "A"});
  auto a = registerSim(kClsidA, "Sim Name");
  AsioDrivers drivers(*reg, com);
  ASSERT_TRUE(drivers.loadDriver("A"));
  ASIODriverInfo info{};
  ASSERT_EQ(ASIOInit(&info), ASE_OK);
  EXPECT_STREQ(info.name, "Sim Name");
  EXPECT_EQ(info.driverVersion, 7);
  EXPECT_STREQ(info.errorMessage, "No ASIO Driver Error");
  a->fail(asiosim::Call::init);
  ASSERT_EQ(ASIOInit(&info), ASE_NotPresent);
  EXPECT_STREQ(info.errorMessage, "Sim ASIO failed");
  EXPECT_STREQ(info.name, "No ASIO Driver");
  EXPECT_EQ(currentDriver, nullptr);
  EXPECT_NE(drivers.node(0)->driverObject, nullptr);  // the node keeps it until unloaded
}

}  // namespace

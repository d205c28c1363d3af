// The operations' semantics, run against both backings.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "registry/RegistryFixture.h"

using namespace regtest;

namespace {

class RegistrySemantics : public ::testing::TestWithParam<Backing> {
 protected:
  void SetUp() override { open(); }
  void open(const std::vector<Seed>& machine = {}) { reg = openBacking(GetParam(), dir, machine); }
  HKEY create(const char* path, HKEY parent = HKEY_CURRENT_USER) {
    HKEY k = nullptr;
    EXPECT_EQ(reg->createKeyEx(parent, path, KEY_ALL_ACCESS, &k), ERROR_SUCCESS) << path;
    return k;
  }
  std::vector<std::string> subkeys(HKEY k) {
    std::vector<std::string> names;
    char name[128];
    for (DWORD i = 0; reg->enumKey(k, i, name, sizeof name) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
  }

  testsupport::TempDir dir;
  std::unique_ptr<Registry> reg;
};

TEST_P(RegistrySemantics, QueryThroughBuffersOfTheCallersSize) {
  HKEY k = create("Software\\Vellumar\\Synth\\Host");
  const std::string t511(511, 'a'), t512(512, 'b');
  struct Case {
    const char* what;
    DWORD type;
    std::string stored;
    DWORD bufferSize;
    LSTATUS status;
    DWORD size;
    std::string buffer;
  } cases[] = {
      {"short text", REG_SZ, textValue("abc"), 512, ERROR_SUCCESS, 4, "abc" + std::string(1, '\0')},
      {"511 characters fill 512 bytes", REG_SZ, textValue(t511), 512, ERROR_SUCCESS, 512, textValue(t511)},
      {"512 characters do not fit", REG_SZ, textValue(t512), 512, ERROR_MORE_DATA, 513,
       std::string(512, '#')},
      {"DWORD through a text buffer", REG_DWORD, dwordValue(0x01020304), 512, ERROR_SUCCESS, 4,
       "\x04\x03\x02\x01"},
      {"short text through a DWORD", REG_SZ, textValue("1"), 4, ERROR_SUCCESS, 2, std::string("1\0##", 4)},
      {"long text through a DWORD", REG_SZ, textValue("1234"), 4, ERROR_MORE_DATA, 5, "####"},
      {"text without its zero", REG_SZ, "xyz", 4, ERROR_SUCCESS, 3, "xyz#"},
      {"empty binary", REG_BINARY, "", 4, ERROR_SUCCESS, 0, "####"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(set(*reg, k, "v", c.type, c.stored), ERROR_SUCCESS) << c.what;
    Query q = query(*reg, k, "v", c.bufferSize);
    EXPECT_EQ(q.status, c.status) << c.what;
    EXPECT_EQ(q.type, c.type) << c.what;
    EXPECT_EQ(q.size, c.size) << c.what;
    EXPECT_EQ(q.buffer.substr(0, c.buffer.size()), c.buffer) << c.what;
  }
  // A size query (no buffer), and a missing value that leaves everything alone.
  DWORD size = 0;
  EXPECT_EQ(reg->queryValueEx(k, "v", nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  Query missing = query(*reg, k, "absent", 8);
  EXPECT_EQ(missing.status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing.size, 8u);
  EXPECT_EQ(missing.type, 0xdeadu);
  EXPECT_EQ(missing.buffer, std::string(8, '#'));
  EXPECT_EQ(reg->queryValueEx(k, "v", nullptr, reinterpret_cast<uint8_t*>(&size), nullptr),
            ERROR_INVALID_PARAMETER);
  reg->closeKey(k);
}

TEST_P(RegistrySemantics, SetDeleteAndNames) {
  HKEY k = create("Software\\Vellumar\\Synth");
  // Delete-then-set, the settings store's way of writing, also changes the type.
  ASSERT_EQ(set(*reg, k, "Tempo", REG_SZ, textValue("120")), ERROR_SUCCESS);
  EXPECT_EQ(reg->deleteValue(k, "Tempo"), ERROR_SUCCESS);
  EXPECT_EQ(query(*reg, k, "Tempo", 512).status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg->deleteValue(k, "Tempo"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(set(*reg, k, "Tempo", REG_DWORD, dwordValue(7)), ERROR_SUCCESS);
  EXPECT_EQ(query(*reg, k, "Tempo", 4).type, REG_DWORD);
  // Setting without deleting replaces bytes and type in place.
  ASSERT_EQ(set(*reg, k, "TEMPO", REG_SZ, textValue("133.25")), ERROR_SUCCESS);
  Query q = query(*reg, k, "tempo", 512);
  EXPECT_EQ(q.status, ERROR_SUCCESS);
  EXPECT_EQ(q.type, REG_SZ);
  EXPECT_STREQ(q.buffer.c_str(), "133.25");
  // Null and "" both name the default value.
  ASSERT_EQ(set(*reg, k, nullptr, REG_SZ, textValue("default")), ERROR_SUCCESS);
  EXPECT_STREQ(query(*reg, k, "", 512).buffer.c_str(), "default");
  EXPECT_EQ(reg->deleteValue(k, ""), ERROR_SUCCESS);
  EXPECT_EQ(query(*reg, k, nullptr, 512).status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg->setValueEx(k, "x", REG_BINARY, nullptr, 3), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(reg->setValueEx(k, "empty", REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  // Key names: any case reaches the key, which keeps the case it was created with.
  HKEY same = nullptr;
  ASSERT_EQ(reg->openKey(HKEY_CURRENT_USER, "SOFTWARE\\vellumar\\SYNTH", &same), ERROR_SUCCESS);
  EXPECT_STREQ(query(*reg, same, "Tempo", 512).buffer.c_str(), "133.25");
  HKEY vellumar = nullptr;
  ASSERT_EQ(reg->openKey(HKEY_CURRENT_USER, "software\\VELLUMAR", &vellumar), ERROR_SUCCESS);
  EXPECT_EQ(subkeys(vellumar), std::vector<std::string>{"Synth"});
  for (HKEY h : {k, same, vellumar}) EXPECT_EQ(reg->closeKey(h), ERROR_SUCCESS);
}

TEST_P(RegistrySemantics, KeysOpenCreateAndEnumerate) {
  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(reg->openKey(HKEY_CURRENT_USER, "Software\\Nothing", &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  HKEY host = create("Software\\Vellumar\\Synth\\Host");  // every key on the way is created
  // Subkeys enumerate in creation order, not sorted.
  for (const char* name : {"Midi Device 1", "Midi Device 0", "alpha", "Zulu"})
    reg->closeKey(create(name, host));
  reg->closeKey(create("ALPHA", host));  // exists already: no new key
  EXPECT_EQ(subkeys(host), (std::vector<std::string>{"Midi Device 1", "Midi Device 0", "alpha", "Zulu"}));
  char small[6];
  EXPECT_EQ(reg->enumKey(host, 0, small, sizeof small), ERROR_MORE_DATA);
  EXPECT_EQ(reg->enumKey(host, 2, small, sizeof small), ERROR_SUCCESS);  // "alpha" and its zero fit
  EXPECT_EQ(reg->enumKey(host, 4, small, sizeof small), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(reg->enumKey(host, 0, nullptr, 10), ERROR_INVALID_PARAMETER);
  // Empty parts are skipped; an empty path opens the parent anew.
  HKEY again = nullptr;
  ASSERT_EQ(reg->openKey(HKEY_CURRENT_USER, "\\Software\\\\Vellumar\\Synth\\Host\\", &again), ERROR_SUCCESS);
  HKEY self = nullptr;
  ASSERT_EQ(reg->openKeyEx(again, "", KEY_READ, &self), ERROR_SUCCESS);
  EXPECT_EQ(subkeys(self).size(), 4u);
  HKEY top = create("Software");
  EXPECT_EQ(subkeys(top), std::vector<std::string>{"Vellumar"});
  // Handles: closed twice, unknown, or a root.
  EXPECT_EQ(reg->closeKey(self), ERROR_SUCCESS);
  EXPECT_EQ(reg->closeKey(self), ERROR_INVALID_HANDLE);
  EXPECT_EQ(set(*reg, self, "v", REG_DWORD, dwordValue(1)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(query(*reg, self, "v", 4).status, ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg->closeKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  HKEY out = nullptr;
  EXPECT_EQ(reg->createKeyEx(host, "x", KEY_ALL_ACCESS, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(reg->openKey(reinterpret_cast<HKEY>(uintptr_t(12345)), "x", &out), ERROR_INVALID_HANDLE);
  for (HKEY h : {host, again, top}) reg->closeKey(h);
  if (GetParam() == Backing::File) {  // the order survives a restart
    open();
    ASSERT_EQ(reg->openKey(HKEY_CURRENT_USER, "Software\\Vellumar\\Synth\\Host", &host), ERROR_SUCCESS);
    EXPECT_EQ(subkeys(host), (std::vector<std::string>{"Midi Device 1", "Midi Device 0", "alpha", "Zulu"}));
    reg->closeKey(host);
  }
}

TEST_P(RegistrySemantics, MachineRootsAreReadOnly) {
  open({{HKEY_LOCAL_MACHINE, "software\\asio\\JACK", "clsid", REG_SZ, textValue("{1}")},
        {HKEY_CLASSES_ROOT, "clsid\\{1}\\InprocServer32", "", REG_SZ, textValue("/x.so")}});
  HKEY asio = nullptr;
  ASSERT_EQ(reg->openKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", KEY_READ, &asio), ERROR_SUCCESS);
  EXPECT_EQ(subkeys(asio), std::vector<std::string>{"JACK"});
  HKEY jack = nullptr;
  // Opening an existing machine key through createKeyEx works; creating a new one does not.
  ASSERT_EQ(reg->createKeyEx(asio, "jack", KEY_ALL_ACCESS, &jack), ERROR_SUCCESS);
  EXPECT_STREQ(query(*reg, jack, "clsid", 256).buffer.c_str(), "{1}");
  HKEY created = nullptr;
  EXPECT_EQ(reg->createKeyEx(asio, "New", KEY_ALL_ACCESS, &created), ERROR_ACCESS_DENIED);
  EXPECT_EQ(created, nullptr);
  EXPECT_EQ(set(*reg, jack, "clsid", REG_SZ, textValue("{2}")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg->deleteValue(jack, "clsid"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(set(*reg, HKEY_CLASSES_ROOT, "x", REG_DWORD, dwordValue(1)), ERROR_ACCESS_DENIED);
  EXPECT_STREQ(query(*reg, jack, "clsid", 256).buffer.c_str(), "{1}");
  HKEY server = nullptr;
  ASSERT_EQ(reg->openKeyEx(HKEY_CLASSES_ROOT, "clsid\\{1}\\inprocserver32", KEY_READ, &server),
            ERROR_SUCCESS);
  EXPECT_STREQ(query(*reg, server, nullptr, 512).buffer.c_str(), "/x.so");
  for (HKEY h : {asio, jack, server}) reg->closeKey(h);
}

TEST_P(RegistrySemantics, BatchesNestAndHoldOtherThreadsOff) {
  HKEY k = create("Software\\Vellumar\\Synth");
  reg->beginBatch();
  reg->beginBatch();
  ASSERT_EQ(set(*reg, k, "a", REG_DWORD, dwordValue(1)), ERROR_SUCCESS);
  EXPECT_EQ(query(*reg, k, "a", 4).status, ERROR_SUCCESS);  // the batch sees its own writes
  EXPECT_EQ(reg->endBatch(), ERROR_SUCCESS);
  std::atomic<bool> otherDone{false};
  std::thread other([&] {
    set(*reg, k, "b", REG_DWORD, dwordValue(2));
    otherDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(otherDone.load());  // still inside the outer batch
  // Ending a batch this thread does not hold is refused, not an unlock of someone else's batch.
  LSTATUS foreign = 0;
  std::thread([&] { foreign = reg->endBatch(); }).join();
  EXPECT_EQ(foreign, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(reg->endBatch(), ERROR_SUCCESS);
  other.join();
  EXPECT_TRUE(otherDone.load());
  EXPECT_EQ(query(*reg, k, "b", 4).status, ERROR_SUCCESS);
  EXPECT_EQ(reg->endBatch(), ERROR_INVALID_PARAMETER);  // no batch open
  reg->closeKey(k);
}

INSTANTIATE_TEST_SUITE_P(Backings, RegistrySemantics, ::testing::Values(Backing::Memory, Backing::File),
                         [](const auto& info) { return info.param == Backing::Memory ? "Memory" : "File"; });

TEST(MemoryRegistry, SeedingReachesEveryRootAndFileBackingsRefuseIt) {
  auto reg = makeMemoryRegistry();
  EXPECT_TRUE(seedKey(*reg, HKEY_LOCAL_MACHINE, "software\\asio\\Empty"));
  EXPECT_TRUE(seedValue(*reg, HKEY_CURRENT_USER, "Software\\Vellumar\\Synth", "contentpath", REG_SZ,
                        textValue("/data")));
  HKEY k = nullptr;
  EXPECT_EQ(reg->openKey(HKEY_LOCAL_MACHINE, "software\\asio\\empty", &k), ERROR_SUCCESS);
  reg->closeKey(k);
  ASSERT_EQ(reg->openKey(HKEY_CURRENT_USER, "Software\\Vellumar\\Synth", &k), ERROR_SUCCESS);
  EXPECT_STREQ(query(*reg, k, "contentpath", 512).buffer.c_str(), "/data");
  reg->closeKey(k);
  EXPECT_FALSE(seedValue(*reg, reinterpret_cast<HKEY>(uintptr_t(7)), "x", "y", REG_SZ, ""));

  testsupport::TempDir dir;
  FileRegistryOptions o;
  o.userHivePath = dir.file("user.reg");
  auto file = openFileRegistry(o);
  EXPECT_FALSE(seedValue(*file, HKEY_LOCAL_MACHINE, "software\\asio\\X", "clsid", REG_SZ, textValue("{}")));
}

}  // namespace

#include <gtest/gtest.h>

#include <thread>

#include "com/TestServer.h"
#include "platform/module/Module.h"
#include "registry/RegistryFixture.h"

using namespace comtest;
using namespace regtest;

namespace {

TEST(ClassId, ParsesTheRegistryFormInEitherCaseAndNothingElse) {
  const CLSID expected = {0x1f2e3d4c, 0x5b6a, 0x4798, {0x86, 0x95, 0xa4, 0xb3, 0xc2, 0xd1, 0xe0, 0x0f}};
  for (const char* ok : {"{1F2E3D4C-5B6A-4798-8695-A4B3C2D1E00F}", "{1f2e3d4c-5b6a-4798-8695-a4b3c2d1e00f}",
                         "{1f2E3d4C-5b6A-4798-8695-A4b3c2D1e00F}"}) {
    CLSID id{};
    EXPECT_EQ(CLSIDFromString(ok, &id), S_OK) << ok;
    EXPECT_EQ(id, expected) << ok;
  }
  EXPECT_EQ(StringFromCLSID(expected), "{1F2E3D4C-5B6A-4798-8695-A4B3C2D1E00F}");
  const CLSID sentinel = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  for (const char* bad :
       {"", "{}", "1F2E3D4C-5B6A-4798-8695-A4B3C2D1E00F", "{1F2E3D4C-5B6A-4798-8695-A4B3C2D1E00F",
        "{1F2E3D4C-5B6A-4798-8695-A4B3C2D1E00F} ", "{1F2E3D4C-5B6A-4798-8695-A4B3C2D1E00}",
        "{1F2E3D4C-5B6A-4798-8695-A4B3C2D1E00G}", "{1F2E3D4C5B6A-4798-8695-A4B3C2D1E00F-}",
        "{1F2E3D4C-5B6A-4798-8695A4B3C2D1E00F0}", "(1F2E3D4C-5B6A-4798-8695-A4B3C2D1E00F)",
        "{+F2E3D4C-5B6A-4798-8695-A4B3C2D1E00F}", "{ 1F2E3D4C-5B6A-4798-8695-A4B3C2D1E00F}"}) {
    CLSID id = sentinel;
    EXPECT_EQ(CLSIDFromString(bad, &id), CO_E_CLASSSTRING) << bad;
    EXPECT_EQ(id, sentinel) << bad;  // left alone: the driver list keeps its zero-filled id
  }
  CLSID id = sentinel;
  EXPECT_EQ(CLSIDFromString(nullptr, &id), CO_E_CLASSSTRING);
  EXPECT_EQ(id, sentinel);
}

TEST(CoInitialize, CountsPerThread) {
  EXPECT_EQ(coInitializeCount(), 0);
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
  EXPECT_EQ(coInitializeCount(), 2);
  int other = -1;
  std::thread([&] { other = coInitializeCount(); }).join();
  EXPECT_EQ(other, 0);
  CoUninitialize();
  CoUninitialize();
  CoUninitialize();  // one too many: ignored, the count does not go below zero
  EXPECT_EQ(coInitializeCount(), 0);
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  CoUninitialize();
}

struct Probe : RefCounted<IAnswer> {
  explicit Probe(bool* deleted) : RefCounted(kAnswerClass), deleted_(deleted) {}
  int32_t answer() override { return 7; }
  ~Probe() override { *deleted_ = true; }
  bool* deleted_;
};

TEST(RefCounted, AnswersItsInterfacesAndDeletesItselfAtZero) {
  bool deleted = false;
  auto* p = new Probe(&deleted);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(p->QueryInterface(kUnknownClass, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(p->QueryInterface(kAnswerClass, nullptr), E_POINTER);
  ASSERT_EQ(p->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(static_cast<IAnswer*>(out), static_cast<IAnswer*>(p));
  EXPECT_EQ(p->AddRef(), 3u);
  EXPECT_EQ(p->Release(), 2u);
  EXPECT_EQ(p->Release(), 1u);
  EXPECT_FALSE(deleted);
  EXPECT_EQ(p->Release(), 0u);
  EXPECT_TRUE(deleted);
}

// A machine hive in a file naming the real test server, as an installed driver would be.
class CoCreate : public ::testing::Test {
 protected:
  std::unique_ptr<Registry> openWith(const std::vector<std::pair<CLSID, std::string>>& servers,
                                     bool lowerCaseKeys = true) {
    std::vector<Seed> seeds;
    for (const auto& [clsid, path] : servers) {
      std::string id = StringFromCLSID(clsid);
      if (lowerCaseKeys) {
        for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      seeds.push_back({HKEY_CLASSES_ROOT, "clsid\\" + id + "\\InprocServer32", "", REG_SZ, textValue(path)});
    }
    return openBacking(Backing::File, dir, seeds);
  }
  testsupport::TempDir dir;
};

TEST_F(CoCreate, CreatesThroughARegisteredSharedLibrary) {
  auto reg = openWith({{kAnswerClass, VL_COM_TEST_SERVER}});
  int live = 0;
  {
    Com com(*reg);
    void* object = nullptr;
    ASSERT_EQ(com.CoCreateInstance(kAnswerClass, nullptr, CLSCTX_INPROC_SERVER, kAnswerClass, &object), S_OK);
    auto* a = static_cast<IAnswer*>(object);
    EXPECT_EQ(a->answer(), 42);
    // The module stays loaded by Com: a second object comes from the same server.
    void* second = nullptr;
    ASSERT_EQ(com.CoCreateInstance(kAnswerClass, nullptr, CLSCTX_ALL, IID_IUnknown, &second), S_OK);
    auto module = plat::module::loadLibrary(VL_COM_TEST_SERVER);
    auto liveObjects =
        reinterpret_cast<LiveObjectsEntry>(plat::module::findSymbol(module, kLiveObjectsEntry));
    ASSERT_NE(liveObjects, nullptr);
    EXPECT_EQ(liveObjects(), 2);
    a->Release();
    static_cast<IUnknown*>(second)->Release();
    live = liveObjects();
    plat::module::freeLibrary(module);
  }
  EXPECT_EQ(live, 0);
}

TEST_F(CoCreate, EachFailureHasItsOwnResult) {
  const CLSID noServerKey = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  const CLSID emptyPath = {2, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  const CLSID missingFile = {3, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  const CLSID notALibrary = {4, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  const CLSID noEntry = {5, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  writeFile(dir.file("text.so"), "not a library");
  auto reg = openWith({{missingFile, dir.file("absent.so")},
                       {notALibrary, dir.file("text.so")},
                       {noEntry, VL_COM_TEST_NOENTRY},
                       {kAnswerClass, VL_COM_TEST_SERVER},
                       {kFailingClass, VL_COM_TEST_SERVER},
                       {kUnknownClass, VL_COM_TEST_SERVER}},
                      false);
  // Entries a machine hive of the build never holds, laid out in memory.
  auto mem = makeMemoryRegistry();
  seedValue(*mem, HKEY_CLASSES_ROOT, "clsid\\" + StringFromCLSID(noServerKey), "", REG_SZ,
            textValue("/x.so"));
  seedValue(*mem, HKEY_CLASSES_ROOT, "clsid\\" + StringFromCLSID(emptyPath) + "\\InprocServer32", "", REG_SZ,
            textValue(""));
  seedKey(*mem, HKEY_CLASSES_ROOT, "clsid\\" + StringFromCLSID(missingFile) + "\\InprocServer32");

  struct Case {
    const char* what;
    Registry* registry;
    CLSID clsid;
    HRESULT result;
  } cases[] = {
      {"class not registered", reg.get(), {9, 9, 9, {9}}, REGDB_E_CLASSNOTREG},
      {"no InprocServer32 key", mem.get(), noServerKey, REGDB_E_CLASSNOTREG},
      {"no default value", mem.get(), missingFile, REGDB_E_CLASSNOTREG},
      {"empty server path", mem.get(), emptyPath, CO_E_DLLNOTFOUND},
      {"server file missing", reg.get(), missingFile, CO_E_DLLNOTFOUND},
      {"file is no library", reg.get(), notALibrary, CO_E_DLLNOTFOUND},
      {"library without the entry", reg.get(), noEntry, CO_E_ERRORINDLL},
      {"server does not know the class", reg.get(), kUnknownClass, CLASS_E_CLASSNOTAVAILABLE},
      {"server's own failure", reg.get(), kFailingClass, E_OUTOFMEMORY},
  };
  for (const auto& c : cases) {
    Com com(*c.registry);
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(com.CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, c.clsid, &object), c.result)
        << c.what;
    EXPECT_EQ(object, nullptr) << c.what;
  }
  Com com(*reg);
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(com.CoCreateInstance(kAnswerClass, nullptr, CLSCTX_INPROC_SERVER, kUnknownClass, &object),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  IUnknown* outer = reinterpret_cast<IUnknown*>(&object);
  EXPECT_EQ(com.CoCreateInstance(kAnswerClass, outer, CLSCTX_INPROC_SERVER, kAnswerClass, &object),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(com.CoCreateInstance(kAnswerClass, nullptr, 0x4 /* local server */, kAnswerClass, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(com.CoCreateInstance(kAnswerClass, nullptr, CLSCTX_INPROC_SERVER, kAnswerClass, nullptr),
            E_POINTER);
}

TEST(InProcessClass, IsCreatedWithoutAFileAndWinsOverTheRegistry) {
  auto reg = makeMemoryRegistry();
  seedValue(*reg, HKEY_CLASSES_ROOT, "clsid\\" + StringFromCLSID(kAnswerClass) + "\\InprocServer32", "",
            REG_SZ, textValue("/no/such/server.so"));
  Com com(*reg);
  bool deleted = false;
  IID askedFor{};
  com.registerClass(kAnswerClass, [&](REFIID iid, void** object) {
    askedFor = iid;
    auto* p = new Probe(&deleted);
    HRESULT hr = p->QueryInterface(iid, object);
    p->Release();
    return hr;
  });
  void* object = nullptr;
  ASSERT_EQ(com.CoCreateInstance(kAnswerClass, nullptr, CLSCTX_INPROC_SERVER, kAnswerClass, &object), S_OK);
  EXPECT_EQ(askedFor, kAnswerClass);
  EXPECT_EQ(static_cast<IAnswer*>(object)->answer(), 7);
  static_cast<IUnknown*>(object)->Release();
  EXPECT_TRUE(deleted);
  // A factory's failure, and a success without an object, reach the caller as failures.
  com.registerClass(kFailingClass, [](REFIID, void**) { return E_OUTOFMEMORY; });
  EXPECT_EQ(com.CoCreateInstance(kFailingClass, nullptr, CLSCTX_ALL, kFailingClass, &object), E_OUTOFMEMORY);
  com.registerClass(kUnknownClass, [](REFIID, void**) { return S_OK; });
  EXPECT_EQ(com.CoCreateInstance(kUnknownClass, nullptr, CLSCTX_ALL, kUnknownClass, &object), E_FAIL);
  EXPECT_EQ(object, nullptr);
  // Unregistered, the class falls back to its registry entry, whose file is missing.
  com.unregisterClass(kAnswerClass);
  EXPECT_EQ(com.CoCreateInstance(kAnswerClass, nullptr, CLSCTX_INPROC_SERVER, kAnswerClass, &object),
            CO_E_DLLNOTFOUND);
}

}  // namespace

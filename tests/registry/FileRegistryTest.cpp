// The file backing: durability of every write, other writers' changes, corrupt hives, machine
// hives, and failures that must not pass for success.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/registry/FileRegistry.h"
#include "registry/RegistryFixture.h"

using namespace regtest;
namespace fs = std::filesystem;

namespace {

FileRegistryOptions userOnly(const std::string& path) {
  FileRegistryOptions o;
  o.userHivePath = path;
  return o;
}

std::string readText(Registry& r, const char* keyPath, const char* name) {
  HKEY k = nullptr;
  if (r.openKey(HKEY_CURRENT_USER, keyPath, &k) != ERROR_SUCCESS) return "<no key>";
  Query q = query(r, k, name, 512);
  r.closeKey(k);
  return q.status == ERROR_SUCCESS ? std::string(q.buffer.c_str()) : "<missing>";
}

LSTATUS writeText(Registry& r, const char* keyPath, const char* name, const std::string& text) {
  HKEY k = nullptr;
  LSTATUS s = r.createKeyEx(HKEY_CURRENT_USER, keyPath, KEY_ALL_ACCESS, &k);
  if (s != ERROR_SUCCESS) return s;
  s = set(r, k, name, REG_SZ, textValue(text));
  r.closeKey(k);
  return s;
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FileRegistry, EachWriteIsOnDiskWhenItReturns) {
  testsupport::TempDir dir;
  auto a = openFileRegistry(userOnly(dir.file("cfg/vellumar/user.reg")));  // folders made on demand
  std::string tricky = "quote\" backslash\\ newline\n tab\t ansi\xe9\xff";
  ASSERT_EQ(writeText(*a, "Software\\Vellumar\\Synth", "samplePath", tricky), ERROR_SUCCESS);
  // A second object reads the file on its own: the value was stored before the call returned.
  auto b = openFileRegistry(userOnly(dir.file("cfg/vellumar/user.reg")));
  EXPECT_EQ(readText(*b, "software\\vellumar\\synth", "SAMPLEPATH"), tricky);
  EXPECT_EQ(filesIn(dir.file("cfg/vellumar")), (std::vector<std::string>{"user.reg", "user.reg.lock"}));
  // A batch reaches the file only at its end, whole.
  {
    Batch batch(*a);
    ASSERT_EQ(writeText(*a, "Software\\Vellumar\\Synth\\Host", "Tempo", "133.25"), ERROR_SUCCESS);
    ASSERT_EQ(writeText(*a, "Software\\Vellumar\\Synth\\Host", "samplePath", "x"), ERROR_SUCCESS);
    EXPECT_EQ(readFile(dir.file("cfg/vellumar/user.reg")).find("133.25"), std::string::npos);
  }
  EXPECT_NE(readFile(dir.file("cfg/vellumar/user.reg")).find("133.25"), std::string::npos);
  EXPECT_EQ(readText(*b, "Software\\Vellumar\\Synth\\Host", "Tempo"), "133.25");
}

TEST(FileRegistry, PicksUpOtherWritersAndKeepsTheirValues) {
  testsupport::TempDir dir;
  auto a = openFileRegistry(userOnly(dir.file("user.reg")));
  auto b = openFileRegistry(userOnly(dir.file("user.reg")));
  ASSERT_EQ(writeText(*a, "K", "fromA", "1"), ERROR_SUCCESS);
  EXPECT_EQ(readText(*b, "K", "fromA"), "1");
  ASSERT_EQ(writeText(*b, "K", "fromB", "2"), ERROR_SUCCESS);
  // A's next write re-reads the file first, so B's value survives it.
  ASSERT_EQ(writeText(*a, "K", "fromA", "3"), ERROR_SUCCESS);
  auto c = openFileRegistry(userOnly(dir.file("user.reg")));
  EXPECT_EQ(readText(*c, "K", "fromA"), "3");
  EXPECT_EQ(readText(*c, "K", "fromB"), "2");
  // An open handle whose key vanished (the file was removed) reads empty and writes it back.
  HKEY k = nullptr;
  ASSERT_EQ(a->openKey(HKEY_CURRENT_USER, "K", &k), ERROR_SUCCESS);
  fs::remove(dir.file("user.reg"));
  EXPECT_EQ(query(*a, k, "fromA", 512).status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(set(*a, k, "again", REG_DWORD, dwordValue(5)), ERROR_SUCCESS);
  a->closeKey(k);
  EXPECT_EQ(readText(*c, "K", "fromB"), "<missing>");
  EXPECT_NE(readFile(dir.file("user.reg")).find("\"again\"=dword:00000005"), std::string::npos);
}

TEST(FileRegistry, UnparsableHiveIsMovedAsideAndTheHostGoesOnEmpty) {
  const std::string good = "Vellumar hive 1\n[HKEY_CURRENT_USER\\K]\n\"v\"=sz:\"1\"\nEND\n";
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"garbage", std::string("\x7f"
                              "ELF\x00\x01garbage\n",
                              14)},
      {"truncated", good.substr(0, good.size() - 5)},
      {"zero-length", ""},
  };
  for (const auto& c : cases) {
    testsupport::TempDir dir;
    writeFile(dir.file("user.reg"), c.bytes);
    auto reg = openFileRegistry(userOnly(dir.file("user.reg")));
    auto* file = static_cast<FileRegistry*>(reg.get());
    EXPECT_EQ(readText(*reg, "K", "v"), "<no key>") << c.what;
    ASSERT_EQ(file->movedAside().size(), 1u) << c.what;
    std::string aside = file->movedAside()[0];
    EXPECT_EQ(fs::path(aside).parent_path(), fs::path(dir.path())) << c.what;
    EXPECT_TRUE(fs::path(aside).filename().string().starts_with("user.reg.corrupt-")) << aside;
    EXPECT_EQ(readFile(aside), c.bytes) << c.what;
    EXPECT_FALSE(file->lastParseError().empty()) << c.what;
    // The host goes on: the next write makes a fresh hive, and the original stays untouched.
    ASSERT_EQ(writeText(*reg, "K", "v", "2"), ERROR_SUCCESS) << c.what;
    EXPECT_EQ(readText(*openFileRegistry(userOnly(dir.file("user.reg"))), "K", "v"), "2") << c.what;
    EXPECT_EQ(readFile(aside), c.bytes) << c.what;
    // A second bad file in the same second gets a name of its own.
    writeFile(dir.file("user.reg"), c.bytes + "x");
    EXPECT_EQ(readText(*reg, "K", "v"), "<no key>") << c.what;
    ASSERT_EQ(file->movedAside().size(), 2u) << c.what;
    EXPECT_NE(file->movedAside()[1], aside);
    EXPECT_EQ(readFile(aside), c.bytes) << c.what;
    EXPECT_EQ(readFile(file->movedAside()[1]), c.bytes + "x") << c.what;
  }
}

TEST(FileRegistry, MachineHivesMergeInOrderAndABrokenOneIsLeftOut) {
  testsupport::TempDir dir;
  writeFile(dir.file("first.reg"),
            machineHiveText({
                {HKEY_LOCAL_MACHINE, "software\\asio\\A", "clsid", REG_SZ, textValue("{a}")},
            }));
  writeFile(dir.file("second.reg"),
            machineHiveText({
                {HKEY_LOCAL_MACHINE, "software\\asio\\B", "clsid", REG_SZ, textValue("{b}")},
                {HKEY_LOCAL_MACHINE, "software\\asio\\a", "clsid", REG_SZ, textValue("{later}")},
                {HKEY_LOCAL_MACHINE, "software\\asio\\a", "description", REG_SZ, textValue("Second")},
            }));
  const std::string broken = "Vellumar hive 1\n[HKEY_LOCAL_MACHINE\\software\\asio\\C]\n";
  writeFile(dir.file("broken.reg"), broken);
  FileRegistryOptions o = userOnly(dir.file("user.reg"));
  o.machineHivePaths[0] = dir.file("first.reg");
  o.machineHivePaths[1] = dir.file("second.reg");
  auto reg = openFileRegistry(o);
  HKEY asio = nullptr;
  ASSERT_EQ(reg->openKey(HKEY_LOCAL_MACHINE, "software\\asio", &asio), ERROR_SUCCESS);
  char name[128];
  std::vector<std::string> names;
  for (DWORD i = 0; reg->enumKey(asio, i, name, sizeof name) == ERROR_SUCCESS; ++i) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"A", "B"}));
  HKEY a = nullptr;
  ASSERT_EQ(reg->openKey(asio, "A", &a), ERROR_SUCCESS);
  EXPECT_STREQ(query(*reg, a, "clsid", 256).buffer.c_str(), "{a}");           // the first file wins
  EXPECT_STREQ(query(*reg, a, "description", 256).buffer.c_str(), "Second");  // what it lacks is added
  reg->closeKey(a);
  reg->closeKey(asio);

  o.machineHivePaths[1] = dir.file("broken.reg");
  auto other = openFileRegistry(o);
  EXPECT_EQ(other->openKey(HKEY_LOCAL_MACHINE, "software\\asio\\C", &asio), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(readFile(dir.file("broken.reg")), broken);  // not ours: never moved or rewritten
}

TEST(FileRegistry, AFailedStoreIsReportedAndNotKeptInMemory) {
  testsupport::TempDir dir;
  writeFile(dir.file("blocker"), "a file where the hive's folder should be");
  auto reg = openFileRegistry(userOnly(dir.file("blocker/user.reg")));
  HKEY k = nullptr;
  EXPECT_EQ(reg->createKeyEx(HKEY_CURRENT_USER, "K", KEY_ALL_ACCESS, &k), ERROR_WRITE_FAULT);
  EXPECT_EQ(k, nullptr);
  EXPECT_EQ(set(*reg, HKEY_CURRENT_USER, "v", REG_DWORD, dwordValue(1)), ERROR_WRITE_FAULT);
  EXPECT_EQ(query(*reg, HKEY_CURRENT_USER, "v", 4).status, ERROR_FILE_NOT_FOUND);
  reg->beginBatch();
  EXPECT_EQ(set(*reg, HKEY_CURRENT_USER, "w", REG_DWORD, dwordValue(1)), ERROR_SUCCESS);
  EXPECT_EQ(reg->endBatch(), ERROR_WRITE_FAULT);
  EXPECT_EQ(query(*reg, HKEY_CURRENT_USER, "w", 4).status, ERROR_FILE_NOT_FOUND);
}

TEST(FileRegistry, LeftoversOfAKilledWriterAreRemovedUnderTheLock) {
  testsupport::TempDir dir;
  writeFile(dir.file(".user.reg.tmp-AbC123"), "half a hive");
  writeFile(dir.file("unrelated.tmp-x"), "someone else's");
  auto reg = openFileRegistry(userOnly(dir.file("user.reg")));
  ASSERT_EQ(writeText(*reg, "K", "v", "1"), ERROR_SUCCESS);
  EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"unrelated.tmp-x", "user.reg", "user.reg.lock"}));
}

TEST(FileRegistry, DefaultUserHiveFollowsXdgConfigHome) {
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  std::string keep = saved ? saved : "";
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(defaultUserHivePath(), "/cfg/vellumar/user.reg");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  if (!home.empty()) {
    EXPECT_EQ(defaultUserHivePath(), home + "/.config/vellumar/user.reg");
  }
  if (saved) {
    setenv("XDG_CONFIG_HOME", keep.c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
  FileRegistryOptions d = defaultFileRegistryOptions();
  EXPECT_TRUE(d.machineHivePaths[0].ends_with("/machine.reg"));
  EXPECT_EQ(d.machineHivePaths[1], "/etc/vellumar/machine.reg");
}

TEST(BuildMachineHive, ParsesAndEveryListedDriverHasAServerFile) {
  std::string text = readFile(VL_BUILD_MACHINE_HIVE);
  Hive hive;
  std::string error;
  ASSERT_TRUE(parseHive(text, kMachineRoots, &hive, &error)) << error;
  FileRegistryOptions o = userOnly(testsupport::TempDir().file("user.reg"));
  o.machineHivePaths[0] = VL_BUILD_MACHINE_HIVE;
  auto reg = openFileRegistry(o);
  HKEY asio = nullptr;
  if (reg->openKey(HKEY_LOCAL_MACHINE, "software\\asio", &asio) != ERROR_SUCCESS)
    GTEST_SKIP() << "no drivers yet";
  char name[128];
  for (DWORD i = 0; reg->enumKey(asio, i, name, sizeof name) == ERROR_SUCCESS; ++i) {
    HKEY driver = nullptr;
    ASSERT_EQ(reg->openKey(asio, name, &driver), ERROR_SUCCESS);
    Query clsid = query(*reg, driver, "clsid", 256);
    ASSERT_EQ(clsid.status, ERROR_SUCCESS) << name;
    HKEY server = nullptr;
    std::string path = std::string("clsid\\") + clsid.buffer.c_str() + "\\InprocServer32";
    ASSERT_EQ(reg->openKey(HKEY_CLASSES_ROOT, path.c_str(), &server), ERROR_SUCCESS) << name;
    Query file = query(*reg, server, nullptr, 512);
    ASSERT_EQ(file.status, ERROR_SUCCESS) << name;
    EXPECT_TRUE(fs::exists(file.buffer.c_str())) << name << ": " << file.buffer.c_str();
    reg->closeKey(server);
    reg->closeKey(driver);
  }
  reg->closeKey(asio);
}

}  // namespace

// The plug-in state file with the probe plug-in, loaded through the host's own wrapper.
#include "settings/PluginState.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "plugin/VLVSTHostLib.h"
#include "probe/Probe.h"
#include "settings/HostSettings.h"
#include "settings/SettingsFixture.h"
#include "support/JackServer.h"

using namespace settingstest;
namespace fs = std::filesystem;

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

// Files beside the state file that are not the state file (temporaries of a write).
std::vector<std::string> strays(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name != "saved.chunk") names.push_back(name);
  }
  return names;
}

std::string pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::mt19937 rng(seed);
  for (auto& b : bytes) b = char(rng());
  return bytes;
}

class PluginStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(probe.ok());
    ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
    ERect rect{};
    std::string name;
    ASSERT_TRUE(lib.openPlugin(rect, name));
    settings = std::make_unique<HostSettings>(*registry, name, false);
    setContentPath(dir.path() + "/");
  }
  void TearDown() override { lib.closePlugin(); }

  void setContentPath(const std::string& text) { putText(*registry, settings->keyPath, "contentpath", text); }
  void setChunk(const std::string& bytes) {
    ASSERT_LE(bytes.size(), size_t(kProbeChunkBytes));
    std::memcpy(probe.config().chunk, bytes.data(), bytes.size());
    probe.config().chunkSize = int32_t(bytes.size());
  }
  std::string receivedChunk() const {
    return std::string(reinterpret_cast<const char*>(probe.state().setChunk),
                       size_t(probe.state().setChunkSize));
  }
  std::string stateFile() const { return dir.file("saved.chunk"); }

  testsupport::TempDir dir;
  ProbeLibrary probe{VL_PROBE_PATH};
  VLVSTHostLib lib;
  std::unique_ptr<Registry> registry = makeMemoryRegistry();
  std::unique_ptr<HostSettings> settings;
};

TEST_F(PluginStateTest, TheFileNameIsAppendedToContentPathAsItIs) {
  fs::create_directory(dir.file("Content"));
  struct Case {
    std::string contentPath;
    std::string file;
  } cases[] = {
      {dir.path() + "/Content/", dir.file("Content/saved.chunk")},
      {dir.path() + "/Content", dir.file("Contentsaved.chunk")},  // no separator: glued to the folder name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.contentPath);
    setContentPath(c.contentPath);
    setChunk("state of " + c.contentPath);
    std::string path;
    ASSERT_TRUE(pluginStatePath(*settings, path));
    EXPECT_EQ(path, c.file);
    ASSERT_TRUE(savePluginState(settings.get(), lib.effect));
    EXPECT_EQ(readFile(c.file), "state of " + c.contentPath);
    ASSERT_TRUE(loadPluginState(settings.get(), lib.effect));
    EXPECT_EQ(receivedChunk(), "state of " + c.contentPath);
  }
}

TEST_F(PluginStateTest, ATenByteChunkRoundTripsByteForByte) {
  // Zero bytes, line ends and high bytes: nothing is translated or cut.
  const std::string chunk("\x00\x0A\x0D\xFF\x1A\x80 a\x00\x7F", 10);
  setChunk(chunk);
  writeFile(stateFile(), "older state");
  ::chmod(stateFile().c_str(), 0640);
  const uint32_t before = probe.state().callCount.load();
  ASSERT_TRUE(savePluginState(settings.get(), lib.effect));
  const ProbeDispatch& get = probe.state().calls[before % kProbeMaxCalls];
  EXPECT_EQ(get.opcode, effGetChunk);
  EXPECT_EQ(get.index, 0);
  EXPECT_EQ(get.value, 0);
  EXPECT_EQ(readFile(stateFile()), chunk);
  struct stat st;
  ASSERT_EQ(::stat(stateFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);  // the replacement keeps the user's permissions
  EXPECT_TRUE(strays(dir.path()).empty());

  // The next run: a fresh plug-in state, the file handed over whole.
  probe.reset();
  ASSERT_TRUE(loadPluginState(settings.get(), lib.effect));
  EXPECT_EQ(probe.state().setChunkCalls, 1u);
  EXPECT_EQ(probe.state().setChunkValue, 10);
  EXPECT_EQ(receivedChunk(), chunk);
  EXPECT_EQ(probe.callsOf(effSetChunk), 1u);
}

TEST_F(PluginStateTest, NothingIsWrittenWithoutAChunkOrWithoutWhereToPutIt) {
  writeFile(stateFile(), "kept state");
  struct stat before;
  ASSERT_EQ(::stat(stateFile().c_str(), &before), 0);

  setChunk("");
  EXPECT_FALSE(savePluginState(settings.get(), lib.effect));  // size 0: the old file stays
  setChunk("new state");
  EXPECT_FALSE(savePluginState(nullptr, lib.effect));
  EXPECT_FALSE(savePluginState(settings.get(), nullptr));
  EXPECT_FALSE(loadPluginState(nullptr, lib.effect));

  struct stat after;
  ASSERT_EQ(::stat(stateFile().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(readFile(stateFile()), "kept state");

  // No "contentpath": nothing read, nothing written.
  auto other = std::make_unique<HostSettings>(*registry, "Without Content Path", false);
  EXPECT_FALSE(savePluginState(other.get(), lib.effect));
  EXPECT_FALSE(loadPluginState(other.get(), lib.effect));
  EXPECT_EQ(probe.state().setChunkCalls, 0u);

  // A folder that does not exist: the write fails quietly and leaves nothing behind.
  setContentPath(dir.path() + "/missing/");
  EXPECT_FALSE(savePluginState(settings.get(), lib.effect));
  EXPECT_FALSE(fs::exists(dir.file("missing")));
}

// The user keeps the state elsewhere and links it in: the link stays and its target is updated.
TEST_F(PluginStateTest, AStateFileThatIsALinkStaysOneAndItsTargetGetsTheChunk) {
  const std::string synced = dir.file("synced");
  fs::create_directory(synced);
  writeFile(synced + "/state", "older state");
  fs::create_symlink(synced + "/state", stateFile());
  setChunk("new state");
  ASSERT_TRUE(savePluginState(settings.get(), lib.effect));
  EXPECT_TRUE(fs::is_symlink(stateFile()));
  EXPECT_EQ(readFile(synced + "/state"), "new state");
  EXPECT_EQ(strays(synced), std::vector<std::string>{"state"});
  ASSERT_TRUE(loadPluginState(settings.get(), lib.effect));
  EXPECT_EQ(receivedChunk(), "new state");
}

// A sandbox's pid namespace gives the host the same pid on every run, and an earlier run died
// while writing: its temporaries carry our pid. They neither stop the save nor stay behind.
TEST_F(PluginStateTest, TemporariesOfAnEarlierRunWithOurPidNeitherBlockTheSaveNorStay) {
  for (unsigned serial = 0; serial < 256; ++serial)
    writeFile(stateFile() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(serial), "partial");
  setChunk("new state");
  ASSERT_TRUE(savePluginState(settings.get(), lib.effect));
  EXPECT_EQ(readFile(stateFile()), "new state");
  EXPECT_TRUE(strays(dir.path()).empty());
}

// What a plug-in's answer to effGetChunk can get wrong. The probe answers sanely, so a small
// effect of our own gives the broken answers.
struct BrokenChunkEffect {
  static intptr_t dispatch(AEffect* e, int32_t opcode, int32_t, intptr_t, void* ptr, float) {
    auto* self = reinterpret_cast<BrokenChunkEffect*>(e);
    if (opcode != effGetChunk) return 0;
    *static_cast<void**>(ptr) = self->pointer;
    return self->size;
  }
  AEffect effect{};
  void* pointer = nullptr;
  intptr_t size = 0;
};

TEST_F(PluginStateTest, ABrokenChunkAnswerIsRefusedAndTheFileStays) {
  static char bytes[16] = "plug-in memory";
  struct Case {
    const char* what;
    void* pointer;
    intptr_t size;
  } cases[] = {
      {"a size with a null pointer", nullptr, 10},
      {"a negative size", bytes, -1},
      {"beyond a signed 32-bit length", bytes, intptr_t(1) << 31},
      {"a 64-bit size whose low half looks small", bytes, (intptr_t(1) << 32) + 10},
  };
  writeFile(stateFile(), "kept state");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BrokenChunkEffect broken;
    static_assert(offsetof(BrokenChunkEffect, effect) == 0);
    broken.effect.magic = kEffectMagic;
    broken.effect.dispatcher = &BrokenChunkEffect::dispatch;
    broken.pointer = c.pointer;
    broken.size = c.size;
    EXPECT_FALSE(savePluginState(settings.get(), &broken.effect));
    EXPECT_EQ(readFile(stateFile()), "kept state");
    EXPECT_TRUE(strays(dir.path()).empty());
  }
}

TEST_F(PluginStateTest, UnusableStateFilesAreNotHandedToThePlugin) {
  // Missing.
  EXPECT_FALSE(loadPluginState(settings.get(), lib.effect));
  // Not a regular file: a folder, and a FIFO (which must not stall start-up).
  fs::create_directory(stateFile());
  EXPECT_FALSE(loadPluginState(settings.get(), lib.effect));
  fs::remove(stateFile());
  ASSERT_EQ(::mkfifo(stateFile().c_str(), 0600), 0);
  EXPECT_FALSE(loadPluginState(settings.get(), lib.effect));
  fs::remove(stateFile());
  // Beyond a signed 32-bit length (sparse, so it costs no disk).
  {
    const int fd = ::open(stateFile().c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(1) << 31), 0);
    ::close(fd);
  }
  EXPECT_FALSE(loadPluginState(settings.get(), lib.effect));
  EXPECT_EQ(probe.state().setChunkCalls, 0u);

  // An empty file is a chunk of size 0.
  writeFile(stateFile(), "");
  EXPECT_TRUE(loadPluginState(settings.get(), lib.effect));
  EXPECT_EQ(probe.state().setChunkCalls, 1u);
  EXPECT_EQ(probe.state().setChunkValue, 0);
}

TEST_F(PluginStateTest, AFileLargerThanTheMemoryAvailableIsRefused) {
#ifdef VL_SANITIZER
  GTEST_SKIP() << "an address-space limit and the sanitizer's shadow memory do not mix";
#endif
  {
    const int fd = ::open(stateFile().c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(1) << 30), 0);
    ::close(fd);
  }
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Room for the process as it is, not for another gigabyte.
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    const rlim_t limit = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + (rlim_t(256) << 20);
    rlimit lim{limit, limit};
    if (::setrlimit(RLIMIT_AS, &lim) != 0) ::_exit(3);
    const bool loaded = loadPluginState(settings.get(), lib.effect);
    ::_exit(loaded ? 1 : probe.state().setChunkCalls == 0 ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the loader died instead of refusing";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The writer dies in the middle of writing the new chunk: the old chunk is still there, whole.
// The file-size limit stops the writer with SIGXFSZ exactly when its write crosses the limit, so
// the death always falls inside the write.
TEST_F(PluginStateTest, AWriterKilledDuringTheWriteLeavesTheOldChunkWhole) {
  const std::string oldChunk = pattern(40000, 1);
  const std::string newChunk = pattern(60000, 2);
  writeFile(stateFile(), oldChunk);
  setChunk(newChunk);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_DFL);
    rlimit lim{20000, 20000};
    if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(3);
    savePluginState(settings.get(), lib.effect);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer was meant to die while writing";
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  EXPECT_EQ(readFile(stateFile()), oldChunk);
  // What the writer left is only its partial temporary; the next save works and clears it.
  const auto left = strays(dir.path());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(fs::file_size(dir.file(left[0])), 20000u);
  // A stranger's file of a similar name stays.
  writeFile(dir.file("saved.chunk.tmp-notes"), "mine");
  ASSERT_TRUE(savePluginState(settings.get(), lib.effect));
  EXPECT_EQ(readFile(stateFile()), newChunk);
  EXPECT_EQ(strays(dir.path()),
            std::vector<std::string>{"saved.chunk.tmp-notes"});  // the dead writer's is cleared
  ASSERT_TRUE(loadPluginState(settings.get(), lib.effect));
  EXPECT_EQ(receivedChunk(), newChunk);
}

// Killed at arbitrary moments while saving over and over: every time, the file holds one whole
// chunk, never a mixture or a cut one.
TEST_F(PluginStateTest, AWriterKilledAtAnyMomentLeavesOneWholeChunk) {
  const std::string chunks[2] = {pattern(kProbeChunkBytes, 3), pattern(kProbeChunkBytes, 4)};
  const std::string original = pattern(1000, 5);
  writeFile(stateFile(), original);
  std::mt19937 rng(6);
  int midWrite = 0;
  for (int round = 0; round < 60; ++round) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (unsigned k = 0;; ++k) {
        const std::string& next = chunks[k % 2];
        std::memcpy(probe.config().chunk, next.data(), next.size());
        probe.config().chunkSize = int32_t(next.size());
        savePluginState(settings.get(), lib.effect);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 8000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    const std::string now = readFile(stateFile());
    ASSERT_TRUE(now == original || now == chunks[0] || now == chunks[1])
        << "round " << round << ": " << now.size() << " bytes of no chunk";
    for (const auto& name : strays(dir.path())) {
      ++midWrite;
      fs::remove(dir.file(name));
    }
  }
  RecordProperty("killsDuringAWrite", midWrite);
}

}  // namespace

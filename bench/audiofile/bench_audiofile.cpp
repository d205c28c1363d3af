// Loading a 60-second stereo file as the player does (open, allocate the two arrays, read every
// frame), against a baseline measured in the same iteration: reading the same bytes into memory
// for WAV, and one libmpg123 decode of the file for MP3. The "ratio" counter is the load time over
// the baseline time. Like the load, the baseline puts its result into memory allocated for it in
// that iteration. Left to itself, glibc hands arrays this large to the kernel and back on every
// iteration or not, depending on the sizes it has seen freed, so the page faults of first touching
// them would come and go between cases; main() therefore keeps freed memory in the heap, and both
// sides measure their own work on memory that is already mapped.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <mpg123.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audiofile/VLAudioFileDecoder.h"
#include "audiofile/VLAudioFileWAV.h"

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kFrames = 60 * kRate;

std::string benchDir() {
  static const std::string dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "vl-bench-audiofile-XXXXXX").string();
    return std::string(mkdtemp(pattern.data()));
  }();
  return dir;
}

void put(std::string& s, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

// A canonical WAV of a tone and noise in `bits` (16, 24, or 32 for float).
std::string writeWav(const char* name, int bits) {
  const std::string path = benchDir() + "/" + name;
  const bool isFloat = bits == 32;
  const uint32_t align = 2 * bits / 8;
  std::string data;
  data.reserve(static_cast<size_t>(kFrames) * align);
  uint32_t noise = 1;
  for (uint32_t i = 0; i < kFrames; ++i) {
    noise = noise * 1664525u + 1013904223u;
    const float l = 0.5f * std::sin(i * 0.0627f), r = (static_cast<int32_t>(noise) >> 8) / 16777216.0f;
    for (float v : {l, r}) {
      if (isFloat) {
        uint32_t u;
        std::memcpy(&u, &v, 4);
        put(data, u, 4);
      } else {
        put(data, static_cast<uint32_t>(static_cast<int32_t>(v * (bits == 16 ? 32767.0f : 8388607.0f))),
            bits / 8);
      }
    }
  }
  std::string file = "RIFF";
  put(file, 36 + static_cast<uint32_t>(data.size()), 4);
  file += "WAVEfmt ";
  put(file, 16, 4);
  put(file, isFloat ? 3 : 1, 2);
  put(file, 2, 2);
  put(file, kRate, 4);
  put(file, kRate * align, 4);
  put(file, align, 2);
  put(file, bits, 2);
  file += "data";
  put(file, static_cast<uint32_t>(data.size()), 4);
  file += data;
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(file.data(), 1, file.size(), f);
  std::fclose(f);
  return path;
}

std::string mp3File() {
  static const std::string path = [] {
    const std::string wav = writeWav("for-mp3.wav", 16), mp3 = benchDir() + "/60s-192k.mp3";
    if (std::system(("lame --quiet -b 192 '" + wav + "' '" + mp3 + "'").c_str()) != 0) return std::string();
    return mp3;
  }();
  return path;
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::vector<uint8_t> bytes(std::filesystem::file_size(path));
  FILE* f = std::fopen(path.c_str(), "rb");
  if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes.clear();
  std::fclose(f);
  return bytes;
}

// Baseline for MP3: the file into memory, then one libmpg123 decode of it to 16-bit PCM in new
// memory of `samples` samples.
size_t decodeOnce(const std::string& path, size_t samples) {
  const std::vector<uint8_t> bytes = readFile(path);
  std::unique_ptr<int16_t[]> pcm(new int16_t[samples]);
  mpg123_handle* h = mpg123_new(nullptr, nullptr);
  mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  mpg123_format_none(h);
  mpg123_format(h, kRate, MPG123_STEREO, MPG123_ENC_SIGNED_16);
  mpg123_open_feed(h);
  size_t total = 0, done = 0;
  int result = mpg123_decode(h, bytes.data(), bytes.size(), nullptr, 0, &done);
  while (result != MPG123_ERR && result != MPG123_NEED_MORE && total < samples) {
    result = mpg123_decode(h, nullptr, 0, reinterpret_cast<unsigned char*>(pcm.get()) + total * 2,
                           (samples - total) * 2, &done);
    total += done / 2;
    if (result == MPG123_NEW_FORMAT) result = MPG123_OK;
  }
  mpg123_delete(h);
  benchmark::DoNotOptimize(pcm[total / 2]);
  return total / 2;
}

// The player's load: open, arrays of n + 1 floats, read every frame (readAll writes all n).
template <typename Reader>
uint32_t playerLoad(const std::string& path) {
  Reader reader;
  const uint32_t n = reader.openRead(path.c_str());
  if (n == 0) return 0;
  std::unique_ptr<float[]> left(new float[n + 1]), right(new float[n + 1]);
  if (!reader.readAll({left.get(), right.get()})) return 0;
  benchmark::DoNotOptimize(left[n / 2]);
  return n;
}

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

template <typename Reader, typename Baseline>
void runLoad(benchmark::State& state, const std::string& path, Baseline baseline) {
  if (path.empty()) {
    state.SkipWithError("no input file (lame missing?)");
    return;
  }
  double loadTotal = 0, baseTotal = 0;
  uint32_t frames = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    baseline();
    const auto t1 = std::chrono::steady_clock::now();
    frames = playerLoad<Reader>(path);
    const auto t2 = std::chrono::steady_clock::now();
    baseTotal += seconds(t0, t1);
    loadTotal += seconds(t1, t2);
    state.SetIterationTime(seconds(t1, t2));
  }
  if (frames == 0) state.SkipWithError("load failed");
  state.counters["baseline_ms"] = benchmark::Counter(baseTotal * 1e3 / state.iterations());
  state.counters["ratio"] = benchmark::Counter(loadTotal / baseTotal);
  state.counters["frames"] = benchmark::Counter(frames);
}

void wavLoad(benchmark::State& state, const char* name, int bits) {
  const std::string path = writeWav(name, bits);
  const size_t size = std::filesystem::file_size(path);
  runLoad<VLAudioFileWAV>(state, path, [&] {
    std::unique_ptr<uint8_t[]> sink(new uint8_t[size]);
    FILE* f = std::fopen(path.c_str(), "rb");
    benchmark::DoNotOptimize(std::fread(sink.get(), 1, size, f));
    std::fclose(f);
    benchmark::DoNotOptimize(sink[size / 2]);
  });
}

void BM_LoadWav16(benchmark::State& state) {
  wavLoad(state, "60s-16.wav", 16);
}
void BM_LoadWav24(benchmark::State& state) {
  wavLoad(state, "60s-24.wav", 24);
}
void BM_LoadWavFloat(benchmark::State& state) {
  wavLoad(state, "60s-float.wav", 32);
}
void BM_LoadMp3_192k(benchmark::State& state) {
  const size_t samples = static_cast<size_t>(kFrames + 10 * 1152) * 2;
  runLoad<VLAudioFileDecoder>(state, mp3File(),
                              [&] { benchmark::DoNotOptimize(decodeOnce(mp3File(), samples)); });
}

BENCHMARK(BM_LoadWav16)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_LoadWav24)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_LoadWavFloat)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_LoadMp3_192k)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(4);

}  // namespace

int main(int argc, char** argv) {
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  mpg123_init();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(benchDir());
  return 0;
}

// Every ASIO sample conversion, both directions, at 256 and 1024 frames, in samples per second.
// Each benchmark also times memcpy of the same device-side bytes (the driver buffer half the
// conversion reads or writes) over the same number of iterations in the same run, and reports
// the ratio of the two in thread CPU time as "x_memcpy" (and against memcpy of the float bytes
// as "x_memcpy_f32").
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio/SampleConversion.h"
#include "platform/asio/Asio.h"

namespace {

using plat::asio::sampleWidth;

const std::pair<int, const char*> kTypes[] = {
    {0, "Int16MSB"},    {1, "Int24MSB"},    {2, "Int32MSB"},    {3, "Float32MSB"},  {4, "Float64MSB"},
    {8, "Int32MSB16"},  {9, "Int32MSB18"},  {10, "Int32MSB20"}, {11, "Int32MSB24"}, {16, "Int16LSB"},
    {17, "Int24LSB"},   {18, "Int32LSB"},   {19, "Float32LSB"}, {20, "Float64LSB"}, {24, "Int32LSB16"},
    {25, "Int32LSB18"}, {26, "Int32LSB20"}, {27, "Int32LSB24"}};

// Thread CPU time: the machine may be shared, and only this thread's work is of interest.
double cpuNanos() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

double memcpyNanos(size_t bytes, int64_t iterations) {
  std::vector<uint8_t> a(bytes, 1), b(bytes);
  double t0 = cpuNanos();
  for (int64_t i = 0; i < iterations; ++i) {
    benchmark::DoNotOptimize(a.data());
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::ClobberMemory();
  }
  return cpuNanos() - t0;
}

void run(benchmark::State& state, int type, bool toFloat) {
  const size_t frames = size_t(state.range(0));
  const size_t bytes = frames * size_t(sampleWidth(type));
  std::vector<uint8_t> device(bytes);
  std::vector<float> floats(frames);
  for (size_t i = 0; i < frames; ++i) floats[i] = float(int(i % 200) - 100) / 101.0f;
  sampleconv::fromFloat(type, floats.data(), device.data(), frames);
  double t0 = cpuNanos();
  for (auto _ : state) {
    benchmark::DoNotOptimize(device.data());
    if (toFloat)
      sampleconv::toFloat(type, device.data(), floats.data(), frames);
    else
      sampleconv::fromFloat(type, floats.data(), device.data(), frames);
    benchmark::ClobberMemory();
  }
  double convert = cpuNanos() - t0;
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
  state.counters["x_memcpy"] = convert / memcpyNanos(bytes, int64_t(state.iterations()));
  state.counters["x_memcpy_f32"] = convert / memcpyNanos(frames * 4, int64_t(state.iterations()));
}

int registerAll() {
  for (auto [type, name] : kTypes)
    for (bool in : {true, false}) {
      std::string label = std::string(in ? "to_float/" : "from_float/") + name;
      benchmark::RegisterBenchmark(label.c_str(),
                                   [type = type, in](benchmark::State& s) { run(s, type, in); })
          ->Arg(256)
          ->Arg(1024);
    }
  return 0;
}
const int registered = registerAll();

}  // namespace

BENCHMARK_MAIN();

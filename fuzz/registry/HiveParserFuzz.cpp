// Any bytes into the hive parser: it must not crash, and whatever it accepts must write back to a
// text that parses to the same hive and writes back identically.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/registry/HiveText.h"

using namespace plat::registry;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (unsigned roots : {kUserRoots, kMachineRoots}) {
    Hive hive;
    std::string error;
    if (!parseHive(text, roots, &hive, &error)) continue;
    std::string written = formatHive(hive, roots);
    Hive back;
    if (!parseHive(written, roots, &back, &error)) __builtin_trap();
    if (!back.equals(hive)) __builtin_trap();
    if (formatHive(back, roots) != written) __builtin_trap();
  }
  return 0;
}

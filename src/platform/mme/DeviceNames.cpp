#include "platform/mme/DeviceNames.h"

#include <cstdint>
#include <cstdio>
#include <set>

namespace plat::mme {

namespace {

// The longest prefix of `s` of at most `limit` bytes that does not end inside a UTF-8 sequence.
std::string cut(const std::string& s, size_t limit) {
  if (s.size() <= limit) return s;
  size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

uint32_t fnv1a(const std::string& s) {
  uint32_t h = 2166136261u;
  for (unsigned char c : s) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

}  // namespace

std::string shortDeviceName(const std::string& full) {
  if (full.size() <= kMaxDeviceName) return full;
  char tag[8];
  std::snprintf(tag, sizeof tag, "~%04x", static_cast<unsigned>(fnv1a(full) & 0xFFFF));
  return cut(full, kMaxDeviceName - 5) + tag;
}

void uniqueDeviceNames(std::vector<std::string>& names, const std::vector<std::string>& reserved) {
  std::set<std::string> taken(reserved.begin(), reserved.end());
  for (auto& name : names) {
    std::string base = shortDeviceName(name);
    std::string candidate = base;
    for (int n = 2; taken.count(candidate); ++n) {
      const std::string suffix = " " + std::to_string(n);
      candidate = cut(base, kMaxDeviceName - suffix.size()) + suffix;
    }
    taken.insert(candidate);
    name = candidate;
  }
}

}  // namespace plat::mme

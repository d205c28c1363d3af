#pragma once
// Fixtures of the settings tests: an audio backend that only lists devices, a registry wrapper that
// records what reaches the store and can refuse key creation, and helpers that lay out or read
// back single values under HKEY_CURRENT_USER.
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/VLAudioBase.h"
#include "platform/registry/Registry.h"

namespace settingstest {

using namespace plat::registry;

// A backend whose only job is its device list.
class ListBackend : public VLAudioBase {
 public:
  AudioDeviceInfo* add(AudioDeviceType type, bool isInput, const std::string& name, bool isDefault = false) {
    auto record = std::make_unique<AudioDeviceInfo>(type, isInput);
    record->name = name;
    record->isDefault = isDefault;
    devices.push_back(std::move(record));
    return devices.back().get();
  }
  bool start(AudioDeviceInfo*, AudioDeviceInfo*, AudioCallback, void*) override { return false; }
  void stop() override {}
  bool matchFormats(AudioDeviceInfo*, AudioDeviceInfo*) override { return true; }
  bool open(AudioDeviceInfo*, bool) override { return false; }
};

// Forwards to a real backing and keeps a log of the writes, with the batch depth each one was made
// at. `refuseCreate` makes createKeyEx fail for subkey paths ending in the given text.
class RecordingRegistry : public Registry {
 public:
  explicit RecordingRegistry(Registry& inner) : inner_(inner) {}

  struct Write {
    std::string name;
    DWORD type;
    int batchDepth;
    std::thread::id thread;
  };
  std::vector<Write> writes() {
    std::lock_guard<std::mutex> l(m_);
    return writes_;
  }
  int batches() {
    std::lock_guard<std::mutex> l(m_);
    return batches_;
  }
  void refuseCreate(const std::string& part) {
    std::lock_guard<std::mutex> l(m_);
    refuse_ = part;
  }

  LSTATUS createKeyEx(HKEY parent, const char* subKey, DWORD access, HKEY* result) override {
    {
      std::lock_guard<std::mutex> l(m_);
      const std::string path = subKey ? subKey : "";
      if (!refuse_.empty() && path.size() >= refuse_.size() &&
          path.compare(path.size() - refuse_.size(), refuse_.size(), refuse_) == 0) {
        return ERROR_ACCESS_DENIED;
      }
    }
    return inner_.createKeyEx(parent, subKey, access, result);
  }
  LSTATUS openKeyEx(HKEY parent, const char* subKey, DWORD access, HKEY* result) override {
    return inner_.openKeyEx(parent, subKey, access, result);
  }
  LSTATUS enumKey(HKEY key, DWORD index, char* name, DWORD nameSize) override {
    return inner_.enumKey(key, index, name, nameSize);
  }
  LSTATUS queryValueEx(HKEY key, const char* name, DWORD* type, uint8_t* data, DWORD* size) override {
    return inner_.queryValueEx(key, name, type, data, size);
  }
  LSTATUS setValueEx(HKEY key, const char* name, DWORD type, const uint8_t* data, DWORD size) override {
    {
      std::lock_guard<std::mutex> l(m_);
      writes_.push_back({name ? name : "", type, depth_, std::this_thread::get_id()});
    }
    return inner_.setValueEx(key, name, type, data, size);
  }
  LSTATUS deleteValue(HKEY key, const char* name) override { return inner_.deleteValue(key, name); }
  LSTATUS closeKey(HKEY key) override { return inner_.closeKey(key); }
  void beginBatch() override {
    inner_.beginBatch();
    std::lock_guard<std::mutex> l(m_);
    if (depth_++ == 0) ++batches_;
  }
  LSTATUS endBatch() override {
    {
      std::lock_guard<std::mutex> l(m_);
      --depth_;
    }
    return inner_.endBatch();
  }

 private:
  Registry& inner_;
  std::mutex m_;
  std::vector<Write> writes_;
  int batches_ = 0;
  int depth_ = 0;
  std::string refuse_;
};

// Single values under HKEY_CURRENT_USER\<path>.
inline void putDword(Registry& r, const std::string& path, const char* name, uint32_t v) {
  HKEY k = nullptr;
  if (r.createKeyEx(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return;
  const uint8_t bytes[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  r.setValueEx(k, name, REG_DWORD, bytes, 4);
  r.closeKey(k);
}

inline void putText(Registry& r, const std::string& path, const char* name, const std::string& text) {
  HKEY k = nullptr;
  if (r.createKeyEx(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return;
  r.setValueEx(k, name, REG_SZ, reinterpret_cast<const uint8_t*>(text.c_str()), DWORD(text.size() + 1));
  r.closeKey(k);
}

// The stored bytes of a value, or "<missing>" when the key or the value is absent.
inline std::string getRaw(Registry& r, const std::string& path, const char* name, DWORD* type = nullptr) {
  HKEY k = nullptr;
  if (r.openKey(HKEY_CURRENT_USER, path.c_str(), &k) != ERROR_SUCCESS) return "<missing>";
  std::string bytes(4096, '\0');
  DWORD size = DWORD(bytes.size());
  LSTATUS s = r.queryValueEx(k, name, type, reinterpret_cast<uint8_t*>(bytes.data()), &size);
  r.closeKey(k);
  if (s != ERROR_SUCCESS) return "<missing>";
  bytes.resize(size);
  return bytes;
}

inline std::string getText(Registry& r, const std::string& path, const char* name) {
  std::string raw = getRaw(r, path, name);
  if (raw == "<missing>") return raw;
  return raw.substr(0, raw.find('\0'));
}

inline int64_t getDword(Registry& r, const std::string& path, const char* name) {
  std::string raw = getRaw(r, path, name);
  if (raw.size() != 4) return -1;  // missing or not a DWORD
  uint32_t v;
  std::memcpy(&v, raw.data(), 4);
  return v;
}

}  // namespace settingstest

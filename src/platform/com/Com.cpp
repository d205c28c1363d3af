#include "platform/com/Com.h"

#include <cstdio>
#include <vector>

#include "platform/module/Module.h"

namespace plat::com {

namespace {

thread_local int tInitCount = 0;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `digits` hex digits at text[at...] into *out.
bool hexField(const char* text, size_t at, int digits, uint64_t* out) {
  uint64_t x = 0;
  for (int i = 0; i < digits; ++i) {
    int d = hexDigit(text[at + size_t(i)]);
    if (d < 0) return false;
    x = x << 4 | uint64_t(d);
  }
  *out = x;
  return true;
}

}  // namespace

HRESULT CLSIDFromString(const char* text, CLSID* out) {
  if (!text || !out) return CO_E_CLASSSTRING;
  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}": 38 characters, nothing before or after.
  size_t length = 0;
  while (length < 39 && text[length]) ++length;
  if (length != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
      text[19] != '-' || text[24] != '-')
    return CO_E_CLASSSTRING;
  CLSID id{};
  uint64_t v;
  if (!hexField(text, 1, 8, &v)) return CO_E_CLASSSTRING;
  id.Data1 = uint32_t(v);
  if (!hexField(text, 10, 4, &v)) return CO_E_CLASSSTRING;
  id.Data2 = uint16_t(v);
  if (!hexField(text, 15, 4, &v)) return CO_E_CLASSSTRING;
  id.Data3 = uint16_t(v);
  static const size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!hexField(text, kByteAt[i], 2, &v)) return CO_E_CLASSSTRING;
    id.Data4[i] = uint8_t(v);
  }
  *out = id;
  return S_OK;
}

std::string StringFromCLSID(const CLSID& id) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.Data1, id.Data2,
                id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5],
                id.Data4[6], id.Data4[7]);
  return text;
}

HRESULT CoInitialize(void*) {
  return tInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (tInitCount > 0) --tInitCount;
}

int coInitializeCount() {
  return tInitCount;
}

Com::~Com() {
  for (auto& [path, module] : modules_) plat::module::freeLibrary(module);
}

void Com::registerClass(const CLSID& clsid, Factory factory) {
  std::lock_guard lock(mutex_);
  classes_[clsid] = std::move(factory);
}

void Com::unregisterClass(const CLSID& clsid) {
  std::lock_guard lock(mutex_);
  classes_.erase(clsid);
}

HRESULT Com::CoCreateInstance(REFCLSID clsid, IUnknown* outer, uint32_t context, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;

  // Factories are called without the lock, so that one may create further objects.
  Factory factory;
  {
    std::lock_guard lock(mutex_);
    auto it = classes_.find(clsid);
    if (it != classes_.end()) factory = it->second;
  }
  HRESULT hr;
  if (factory) {
    hr = factory(iid, object);
  } else {
    using namespace plat::registry;
    std::string keyPath = "clsid\\" + StringFromCLSID(clsid) + "\\InprocServer32";
    HKEY key = nullptr;
    if (registry_.openKeyEx(HKEY_CLASSES_ROOT, keyPath.c_str(), KEY_READ, &key) != ERROR_SUCCESS)
      return REGDB_E_CLASSNOTREG;
    DWORD size = 0;
    std::vector<uint8_t> value;
    LSTATUS s = registry_.queryValueEx(key, nullptr, nullptr, nullptr, &size);
    if (s == ERROR_SUCCESS) {
      value.resize(size + 1);
      s = registry_.queryValueEx(key, nullptr, nullptr, value.data(), &size);
    }
    registry_.closeKey(key);
    if (s != ERROR_SUCCESS) return REGDB_E_CLASSNOTREG;
    std::string path(reinterpret_cast<const char*>(value.data()));  // up to the first zero
    if (path.empty()) return CO_E_DLLNOTFOUND;

    CreateInstanceEntry entry = nullptr;
    {
      std::lock_guard lock(mutex_);
      auto it = modules_.find(path);
      void* module = it != modules_.end() ? it->second : plat::module::loadLibrary(path);
      if (!module) return CO_E_DLLNOTFOUND;
      entry = reinterpret_cast<CreateInstanceEntry>(plat::module::findSymbol(module, kCreateInstanceEntry));
      if (!entry) {
        if (it == modules_.end()) plat::module::freeLibrary(module);
        return CO_E_ERRORINDLL;
      }
      modules_.emplace(path, module);
    }
    hr = entry(&clsid, &iid, object);
  }
  if (FAILED(hr)) {
    *object = nullptr;
    return hr;
  }
  if (!*object) return E_FAIL;
  return hr;
}

}  // namespace plat::com

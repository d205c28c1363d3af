#include "audio/AsioDriverList.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

using namespace plat::registry;
using plat::com::Com;

namespace {

// A text value read through a buffer of `size` bytes, taken up to its first zero. False when the
// value is missing or does not fit. A stored text includes its zero, so a value of exactly `size`
// bytes fits; one stored without a zero is cut to leave room for one.
bool readText(Registry& r, HKEY key, const char* name, char* out, DWORD size) {
  DWORD got = size;
  if (r.queryValueEx(key, name, nullptr, reinterpret_cast<uint8_t*>(out), &got) != ERROR_SUCCESS)
    return false;
  out[got < size ? got : size - 1] = 0;
  return true;
}

void lowerCase(char* s) {
  for (; *s; ++s) *s = static_cast<char>(std::tolower(static_cast<unsigned char>(*s)));
}

bool fileExists(const char* path) {
  struct stat st;
  return path[0] && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

AsioDriverList::AsioDriverList(Registry& registry, Com& com) : com_(com), registry_(registry) {
  HKEY asioKey = nullptr;
  if (registry_.openKey(HKEY_LOCAL_MACHINE, "software\\asio", &asioKey) == ERROR_SUCCESS) {
    char name[128];
    for (DWORD index = 0; registry_.enumKey(asioKey, index, name, sizeof name) == ERROR_SUCCESS; ++index)
      addDriver(asioKey, name);
    registry_.closeKey(asioKey);
  }
  for (DriverNode* n = driverList; n; n = n->next) ++driverCount;
  if (driverCount > 0) {
    plat::com::CoInitialize(nullptr);
    comInitialized_ = true;
  }
}

AsioDriverList::~AsioDriverList() {
  if (!driverList) return;
  // Nodes go last first, as they were appended.
  while (driverList) {
    DriverNode** last = &driverList;
    while ((*last)->next) last = &(*last)->next;
    if ((*last)->driverObject) (*last)->driverObject->Release();
    std::free(*last);
    *last = nullptr;
  }
  if (comInitialized_) plat::com::CoUninitialize();
}

void AsioDriverList::addDriver(HKEY asioKey, const char* keyName) {
  HKEY key = nullptr;
  if (registry_.openKeyEx(asioKey, keyName, KEY_READ, &key) != ERROR_SUCCESS) return;
  char clsidText[256];
  if (!readText(registry_, key, "clsid", clsidText, sizeof clsidText)) {
    registry_.closeKey(key);
    return;
  }
  lowerCase(clsidText);
  if (!findServerFile(clsidText)) {
    registry_.closeKey(key);
    return;
  }
  auto* n = static_cast<DriverNode*>(std::calloc(1, sizeof(DriverNode)));
  if (!n) {
    registry_.closeKey(key);
    return;
  }
  DriverNode** tail = &driverList;
  int32_t position = 0;
  while (*tail) {
    tail = &(*tail)->next;
    ++position;
  }
  n->driverId = position;
  // The class-identifier text goes through a 100-character conversion buffer; longer texts and
  // unparsable ones leave the identifier zero.
  if (std::strlen(clsidText) < 100) plat::com::CLSIDFromString(clsidText, &n->clsid);
  char description[256];
  const char* name =
      readText(registry_, key, "description", description, sizeof description) ? description : keyName;
  size_t length = std::min(std::strlen(name), sizeof n->driverName - 1);
  std::memcpy(n->driverName, name, length);
  *tail = n;
  registry_.closeKey(key);
}

bool AsioDriverList::findServerFile(const char* clsidLower) {
  HKEY classes = nullptr;
  if (registry_.openKey(HKEY_CLASSES_ROOT, "clsid", &classes) != ERROR_SUCCESS) return false;
  bool found = false;
  char name[512];
  for (DWORD index = 0; registry_.enumKey(classes, index, name, sizeof name) == ERROR_SUCCESS; ++index) {
    lowerCase(name);
    if (std::strcmp(name, clsidLower) != 0) continue;
    HKEY classKey = nullptr, serverKey = nullptr;
    if (registry_.openKeyEx(classes, name, KEY_READ, &classKey) == ERROR_SUCCESS) {
      if (registry_.openKeyEx(classKey, "InprocServer32", KEY_READ, &serverKey) == ERROR_SUCCESS) {
        char path[512];
        found = readText(registry_, serverKey, nullptr, path, sizeof path) && fileExists(path);
        registry_.closeKey(serverKey);
      }
      registry_.closeKey(classKey);
    }
    break;
  }
  registry_.closeKey(classes);
  return found;
}

DriverNode* AsioDriverList::node(int32_t driverId) const {
  for (DriverNode* n = driverList; n; n = n->next)
    if (n->driverId == driverId) return n;
  return nullptr;
}

int32_t AsioDriverList::openDriver(int32_t driverId, plat::asio::IASIO** object) {
  if (!object) return DRVERR_INVALID_PARAM;
  DriverNode* n = node(driverId);
  if (!n) return DRVERR_DEVICE_NOT_FOUND;
  if (n->driverObject) return DRVERR_DEVICE_ALREADY_OPEN;
  void* created = nullptr;
  plat::com::HRESULT hr =
      com_.CoCreateInstance(n->clsid, nullptr, plat::com::CLSCTX_INPROC_SERVER, n->clsid, &created);
  if (plat::com::FAILED(hr) || !created) return plat::com::FAILED(hr) ? hr : plat::com::E_FAIL;
  n->driverObject = static_cast<plat::asio::IASIO*>(created);
  *object = n->driverObject;
  return DRVERR_OK;
}

int32_t AsioDriverList::closeDriver(int32_t driverId) {
  DriverNode* n = node(driverId);
  if (n && n->driverObject) {
    n->driverObject->Release();
    n->driverObject = nullptr;
  }
  return DRVERR_OK;
}

int32_t AsioDriverList::getDriverName(int32_t driverId, char* buffer, int32_t bufferSize) {
  if (!buffer || bufferSize < 4) return DRVERR_INVALID_PARAM;
  DriverNode* n = node(driverId);
  if (!n) return DRVERR_DEVICE_NOT_FOUND;
  size_t length = std::strlen(n->driverName);
  if (length < size_t(bufferSize)) {
    std::memcpy(buffer, n->driverName, length + 1);
  } else {
    std::memcpy(buffer, n->driverName, size_t(bufferSize) - 4);
    std::memcpy(buffer + bufferSize - 4, "...", 4);
  }
  return DRVERR_OK;
}

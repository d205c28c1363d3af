#include "audio/AsioDrivers.h"

#include <cstring>

#include "audio/AsioCallLayer.h"

AsioDrivers::AsioDrivers(plat::registry::Registry& registry, plat::com::Com& com)
    : AsioDriverList(registry, com) {}

AsioDrivers::~AsioDrivers() {
  removeCurrentDriver();
}

bool AsioDrivers::loadDriver(const char* name) {
  if (!name) return false;
  char fetched[32];
  for (int32_t i = 0; i < driverCount; ++i) {
    if (getDriverName(i, fetched, sizeof fetched) != DRVERR_OK || std::strcmp(fetched, name) != 0) continue;
    char previous[32] = "";
    if (currentIndex >= 0 && getDriverName(currentIndex, previous, sizeof previous) != DRVERR_OK)
      previous[0] = 0;
    removeCurrentDriver();
    if (openDriver(i, &currentDriver) == DRVERR_OK) {
      currentIndex = i;
      return true;
    }
    currentDriver = nullptr;
    if (previous[0] && std::strcmp(previous, fetched) != 0) loadDriver(previous);
    return false;
  }
  return false;
}

void AsioDrivers::removeCurrentDriver() {
  if (currentIndex != -1) closeDriver(currentIndex);
  currentIndex = -1;
  currentDriver = nullptr;
}

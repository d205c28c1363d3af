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
    if (getDriverName(i, fetched, sizeof fetched) != DRVERR_OK) continue;
    // Device records carry the full listed name, which a 32-byte fetch shortens from 32
    // characters on; matching only the shortened text would make such drivers impossible to open.
    // The shortened text still finds the first driver it stands for.
    const DriverNode* n = node(i);
    if (std::strcmp(fetched, name) != 0 && !(n && std::strcmp(n->driverName, name) == 0)) continue;
    // The previous driver is remembered by its full name, so that the restore below finds that
    // very driver even when another one shares its shortened name.
    char previous[sizeof n->driverName] = "";
    if (const DriverNode* current = currentIndex >= 0 ? node(currentIndex) : nullptr)
      std::memcpy(previous, current->driverName, sizeof previous);
    removeCurrentDriver();
    if (openDriver(i, &currentDriver) == DRVERR_OK) {
      currentIndex = i;
      return true;
    }
    currentDriver = nullptr;
    if (previous[0] && n && std::strcmp(previous, n->driverName) != 0) loadDriver(previous);
    return false;
  }
  return false;
}

void AsioDrivers::removeCurrentDriver() {
  if (currentIndex != -1) closeDriver(currentIndex);
  currentIndex = -1;
  currentDriver = nullptr;
}

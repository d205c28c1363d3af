#pragma once
// Loads one ASIO driver at a time by its listed name and makes it the call layer's
// `currentDriver`. User-interface thread only.
#include "audio/AsioDriverList.h"

class AsioDrivers : public AsioDriverList {
 public:
  AsioDrivers(plat::registry::Registry& registry, plat::com::Com& com);
  // Unloads the current driver, so that `currentDriver` never outlives its object.
  ~AsioDrivers();

  // Loads the first driver whose listed name, in full or as fetched through a 32-byte buffer (names
  // of 32 characters or more read as 28 characters and "..."), equals `name` exactly. The current
  // driver is unloaded first; when the new one cannot be created the previous one is loaded again
  // by name. False when no name matches (the current driver stays) or the load fails.
  bool loadDriver(const char* name);
  // Unloads the current driver: closeDriver, currentIndex -1, currentDriver null.
  void removeCurrentDriver();

  int32_t currentIndex = -1;  // driverId of the loaded driver, -1 for none
};

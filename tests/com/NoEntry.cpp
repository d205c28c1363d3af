// A shared library that loads but is no class server: it lacks VLComCreateInstance.
extern "C" __attribute__((visibility("default"))) int VLNotAServer() {
  return 1;
}

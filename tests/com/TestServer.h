#pragma once
// The interface and classes of the test class server (TestServer.cpp, built as a module). The
// answering class is its own interface identifier, as ASIO drivers are.
#include "platform/com/Com.h"

namespace comtest {

using namespace plat::com;

struct IAnswer : IUnknown {
  virtual int32_t answer() = 0;
};

// Creates an IAnswer whose answer() is 42.
inline constexpr CLSID kAnswerClass = {
    0x1f2e3d4c, 0x5b6a, 0x4798, {0x86, 0x95, 0xa4, 0xb3, 0xc2, 0xd1, 0xe0, 0x0f}};
// Known to the server, which fails to create it with E_OUTOFMEMORY.
inline constexpr CLSID kFailingClass = {
    0x1f2e3d4c, 0x5b6a, 0x4798, {0x86, 0x95, 0xa4, 0xb3, 0xc2, 0xd1, 0xe0, 0x10}};
// Not known to the server.
inline constexpr CLSID kUnknownClass = {
    0x1f2e3d4c, 0x5b6a, 0x4798, {0x86, 0x95, 0xa4, 0xb3, 0xc2, 0xd1, 0xe0, 0x11}};

// Exported by the server too: how many of its objects are alive.
using LiveObjectsEntry = int (*)();
inline constexpr const char* kLiveObjectsEntry = "VLTestServerLiveObjects";

}  // namespace comtest

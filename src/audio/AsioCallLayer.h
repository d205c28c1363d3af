#pragma once
// The ASIO host calls. Each forwards to the same-named method of `currentDriver`, the one driver
// loaded in the whole process (AsioDrivers sets and clears it); with no driver loaded each answers
// ASE_NotPresent and clears its outputs as listed below.
//
// Threads: the user-interface thread makes every call, except ASIOGetSamplePosition and
// ASIOOutputReady, which run on the driver's thread inside the buffer switch. `currentDriver` is
// read there without a lock; it changes only while no stream runs.
#include "platform/asio/Asio.h"

extern plat::asio::IASIO* currentDriver;

using plat::asio::ASIOError;

// Sets version 0 and name "No ASIO Driver" first. On success the error message is "No ASIO Driver
// Error" and the driver's name and version are filled; when the driver's init fails its error
// message is fetched, `currentDriver` becomes null, and the result is ASE_NotPresent.
ASIOError ASIOInit(plat::asio::ASIODriverInfo* info);
ASIOError ASIOStart();
ASIOError ASIOStop();
ASIOError ASIOGetChannels(int32_t* numInputChannels, int32_t* numOutputChannels);  // no driver: 0, 0
ASIOError ASIOGetLatencies(int32_t* inputLatency, int32_t* outputLatency);         // no driver: 0, 0
ASIOError ASIOGetBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity);  // no driver: all 0
ASIOError ASIOCanSampleRate(plat::asio::ASIOSampleRate rate);
ASIOError ASIOGetSampleRate(plat::asio::ASIOSampleRate* rate);
ASIOError ASIOSetSampleRate(plat::asio::ASIOSampleRate rate);
ASIOError ASIOGetClockSources(plat::asio::ASIOClockSource* clocks, int32_t* numSources);
ASIOError ASIOSetClockSource(int32_t reference);
// Audio thread: forwards only.
ASIOError ASIOGetSamplePosition(plat::asio::ASIOSamples* position,
                                plat::asio::ASIOTimeStamp* timeStamp) noexcept;
// No driver: group -1, type ASIOSTInt16MSB, name "None".
ASIOError ASIOGetChannelInfo(plat::asio::ASIOChannelInfo* info);
// No driver: both buffer pointers of each of the `numChannels` entries cleared.
ASIOError ASIOCreateBuffers(plat::asio::ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            plat::asio::ASIOCallbacks* callbacks);
ASIOError ASIODisposeBuffers();
ASIOError ASIOControlPanel();
ASIOError ASIOFuture(int32_t selector, void* opt);
// Audio thread: forwards only.
ASIOError ASIOOutputReady() noexcept;

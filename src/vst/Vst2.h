#pragma once
// Everything of the VST 2 interface that the host uses.
#include "vst/AEffect.h"
#include "vst/Opcodes.h"
#include "vst/VstEvents.h"
#include "vst/VstTimeInfo.h"

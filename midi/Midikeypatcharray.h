// Patch arrays for patch caching: 128 16-bit entries, bit n of an entry = channel n uses it.
#pragma once

#include <cstdint>

#include "midi/MidiType.h"

namespace velora {

using TPatchArray = std::uint16_t[128];

// Replaces the entry of `patch` with `channels`; false (array untouched) for a patch above 127.
bool SetPatchChannels(std::uint16_t* patchArray, std::uint8_t patch, TMidiChannels channels);

}  // namespace velora

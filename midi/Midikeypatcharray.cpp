#include "midi/Midikeypatcharray.h"

namespace velora {

bool SetPatchChannels(std::uint16_t* patchArray, std::uint8_t patch, TMidiChannels channels) {
  if (patch > 127) return false;
  std::uint16_t entry = 0;
  for (TMidiChannel n = 0; n < 16; ++n)
    if (channels.Contains(n)) entry = static_cast<std::uint16_t>(entry | (1u << n));
  patchArray[patch] = entry;
  return true;
}

}  // namespace velora

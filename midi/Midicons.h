// Names of MIDI message kinds.
#pragma once

#include <cstdint>
#include <string>

namespace velora {

// The message-kind name of a status byte; system bytes 0xF1..0xFF share the 0xF0 name.
std::string MidiMessageToStr(std::uint8_t status);

}  // namespace velora

// Numbers of the MIDI protocol shared by the MIDI units.
#pragma once

#include <cstdint>

namespace velora {

constexpr std::uint8_t MIDI_NOTEOFF = 0x80;
constexpr std::uint8_t MIDI_NOTEON = 0x90;
constexpr std::uint8_t MIDI_KEYAFTERTOUCH = 0xA0;
constexpr std::uint8_t MIDI_CONTROLCHANGE = 0xB0;
constexpr std::uint8_t MIDI_PROGRAMCHANGE = 0xC0;
constexpr std::uint8_t MIDI_CHANAFTERTOUCH = 0xD0;
constexpr std::uint8_t MIDI_PITCHBEND = 0xE0;
constexpr std::uint8_t MIDI_BEGINSYSEX = 0xF0;
constexpr std::uint8_t MIDI_MTCQUARTERFRAME = 0xF1;
constexpr std::uint8_t MIDI_SONGPOSPTR = 0xF2;
constexpr std::uint8_t MIDI_SONGSELECT = 0xF3;
constexpr std::uint8_t MIDI_ENDSYSEX = 0xF7;
constexpr std::uint8_t MIDI_TIMINGCLOCK = 0xF8;
constexpr std::uint8_t MIDI_START = 0xFA;
constexpr std::uint8_t MIDI_CONTINUE = 0xFB;
constexpr std::uint8_t MIDI_STOP = 0xFC;
constexpr std::uint8_t MIDI_ACTIVESENSING = 0xFE;
constexpr std::uint8_t MIDI_SYSTEMRESET = 0xFF;
constexpr std::uint8_t MIDI_ALLNOTESOFF = 0x7B;

}  // namespace velora
